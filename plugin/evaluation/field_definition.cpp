// Field records.
#include "plugin/evaluation/field_definition.h"

namespace qm::plugin {

FieldDefinition MakeFieldDefinition(const std::string& configuredName, std::uint32_t flags,
                                    FieldType type) {
  FieldDefinition record;
  record.configuredName = configuredName;
  record.oemCodePage = (flags & settings::flags::OemCodePage) != 0;
  record.emptyMatchesPassThrough = (flags & settings::flags::EmptyMatchesPassThrough) != 0;
  record.encodingCheckBufferOnly = (flags & settings::flags::EncodingCheckBufferOnly) != 0;
  record.filterEnabled = (flags & settings::flags::DisableTextFilter) == 0;
  record.compareCaseInsensitive = (flags & settings::flags::CompareCaseInsensitive) != 0;
  record.filenameOnly = (flags & settings::flags::FilenameOnly) != 0;
  record.type = type;
  return record;
}

}  // namespace qm::plugin
