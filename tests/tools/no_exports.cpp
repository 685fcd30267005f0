// A loadable library that is not a content plugin: it has none of the
// exports the host looks for.
extern "C" __attribute__((visibility("default"))) int NotAContentPlugin() { return 0; }
