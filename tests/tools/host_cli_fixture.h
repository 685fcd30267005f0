// Running the quarrymark host as a user does: a shell command line in a
// fresh folder, with the plugin copied beside a settings file.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/test_files.h"

namespace qm::test {

struct Outcome {
  int status = -1;
  std::string out, err;
};

inline std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class HostCli : public ::testing::Test {
 protected:
  // Runs a shell command line in the folder, with the host's stdin from
  // input; captures both outputs and the exit status.
  Outcome Shell(const std::string& commandLine, const std::string& input = "") {
    const std::string in = folder_.Write("stdin.txt", input);
    const std::string line = "cd " + Quoted(folder_.path().string()) + " && " + commandLine + " <" +
                             Quoted(in) + " >" + Quoted(folder_.PathOf("stdout.txt")) + " 2>" +
                             Quoted(folder_.PathOf("stderr.txt"));
    const int raw = std::system(line.c_str());
    Outcome run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadFileBytes(folder_.PathOf("stdout.txt"));
    run.err = ReadFileBytes(folder_.PathOf("stderr.txt"));
    return run;
  }
  // The host line with the plugin copy.
  std::string HostLine(const std::string& arguments) {
    return Quoted(QM_HOST_PATH) + " --plugin " + Quoted(PluginCopy()) + " " + arguments;
  }
  Outcome Host(const std::string& arguments, const std::string& input = "") {
    return Shell(HostLine(arguments), input);
  }
  std::string PluginCopy() {
    const std::filesystem::path copy = folder_.path() / "Quarrymark.wdx";
    if (!std::filesystem::exists(copy)) std::filesystem::copy_file(QM_TOOLS_PLUGIN_PATH, copy);
    return copy.string();
  }
  void Settings(const std::string& body) { folder_.Write("Quarrymark.ini", "[Quarrymark]\r\n" + body); }

  // Runs a Python expression over the JSON document in json (bound to d,
  // parsed by Python's json module) and returns repr() of the result, or
  // "INVALID: ..." when the document does not parse.
  std::string Json(const std::string& json, const std::string& expression) {
    folder_.Write("doc.json", json);
    folder_.Write("query.py",
                  "import json, sys\n"
                  "text = open(sys.argv[1], encoding='utf-8', errors='surrogateescape').read()\n"
                  "try:\n"
                  "    d = json.loads(text)\n"
                  "except ValueError as e:\n"
                  "    print('INVALID: %s' % e); sys.exit(0)\n"
                  "print(repr(" + expression + "))\n");
    const Outcome run = Shell("python3 query.py doc.json");
    std::string out = run.out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return run.status == 0 ? out : "PYTHON FAILED: " + run.err;
  }

  TempFolder folder_;
};

}  // namespace qm::test
