// EPUB: the container names the package, the package's spine orders the
// chapters, each chapter is HTML.
#include <map>
#include <vector>

#include "formats.h"
#include "xml_parts.h"

namespace qm::xdoc {
namespace {

// The folder part of an entry name, with its slash.
std::string FolderOf(const std::string& name) {
  const std::size_t cut = name.rfind('/');
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

// The entry an href names from base (the folder of the file holding it):
// percent escapes decoded, "." and ".." resolved. Empty when the href leaves
// the archive: a ".." above its root, an absolute path, a scheme
// ("file:", "http:") or a NUL.
std::string ResolveEntry(const std::string& base, const std::string& href) {
  if (href.empty() || href[0] == '/' || href[0] == '\\') return std::string();
  const std::size_t colon = href.find(':');
  if (colon != std::string::npos && href.find('/') > colon) return std::string();
  std::string decoded;
  for (std::size_t i = 0; i < href.size(); ++i) {
    if (href[i] == '%' && i + 2 < href.size() && std::isxdigit(static_cast<unsigned char>(href[i + 1])) && std::isxdigit(static_cast<unsigned char>(href[i + 2]))) {
      decoded.push_back(static_cast<char>(std::stoi(href.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else if (href[i] == '#') {
      break;  // a fragment names a place in the entry
    } else {
      decoded.push_back(href[i]);
    }
  }
  if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) return std::string();
  std::vector<std::string> parts;
  const std::string path = base + decoded;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return std::string();
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
  return out;
}

// container.xml: the first rootfile's full-path.
class ContainerHandler : public XmlHandler {
 public:
  void Start(const Element& e, int) override {
    if (e.local == "rootfile" && package.empty()) package = e.Attribute("full-path");
  }
  std::string package;
};

// The package document: the manifest's items and the spine's order.
class PackageHandler : public XmlHandler {
 public:
  void Start(const Element& e, int) override {
    if (e.local == "item") {
      items[e.Attribute("id")] = e.Attribute("href");
    } else if (e.local == "itemref") {
      spine.push_back(e.Attribute("idref"));
    }
  }
  std::map<std::string, std::string> items;
  std::vector<std::string> spine;
};


}  // namespace

// The chapters in spine order. A chapter whose name leaves the archive is
// never looked for, inside the archive or out: it is left out.
bool EpubText(Zip& zip, TextSink& sink, const Limits& limits) {
  ContainerHandler container;
  if (!ParseEntry(zip, "META-INF/container.xml", container, limits) || container.package.empty()) return false;
  const std::string packageName = ResolveEntry("", container.package);
  PackageHandler package;
  if (packageName.empty() || !ParseEntry(zip, packageName, package, limits) || package.spine.empty()) return false;
  const std::string base = FolderOf(packageName);
  for (const std::string& id : package.spine) {
    const auto it = package.items.find(id);
    if (it == package.items.end()) return false;
    const std::string entry = ResolveEntry(base, it->second);
    if (entry.empty()) continue;
    if (!HtmlEntryText(zip, entry, sink)) return false;
  }
  return true;
}

}  // namespace qm::xdoc
