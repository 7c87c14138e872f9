// Feeds arbitrary documents to the policy loader, then judges a few paths
// with whatever policy came out.
#include <cstdint>
#include <string_view>

#include "policy/filter_kit.h"
#include "policy/xml_pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orv::CFilterKit kit;
  orv::CXMLPattern pattern;
  pattern.LoadText(std::string_view(reinterpret_cast<const char*>(data), size), kit);
  for (const char16_t* path : {u"/Data/x.tmp", u"/home/ann/notes.txt", u"no-separator", u"/", u""}) {
    FileEventRecord record{};
    record.FilePath = path;
    kit.Evaluate(record);
  }
  FileEventRecord noPath{};
  kit.Evaluate(noPath);
  return 0;
}
