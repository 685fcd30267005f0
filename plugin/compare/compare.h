// Content comparison for directory synchronisation (ContentCompareFilesW).
//
// Two files are equal by a "File compare" field when its expression yields
// the same sequence of whole matches over both; text between the matches
// does not take part. Both files are read in blocks that share one read
// budget (each half cut at a line end), their matches are found pair by pair
// and compared, and the matching stops at the first difference (the rest of
// a file that only its sample vouched for as UTF is still read and checked:
// a file that is not UTF after all compares as its ANSI form). With
// "Search in filename only" the name parts are compared the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plugin/evaluation/field_definition.h"
#include "plugin/evaluation/plugin_settings.h"
#include "plugin/filters/run_filter.h"

namespace qm::plugin {

// The answers of a comparison, the host's contentcompare values (tied to
// them where the exports are).
inline constexpr int kCompareEqual = 101;          // every pair equal, at least one pair
inline constexpr int kCompareDifferent = 0;        // a pair differed
inline constexpr int kCompareCannotOpen = -1;      // a file could not be opened or sampled
inline constexpr int kCompareStopped = -2;         // the progress callback asked to stop
inline constexpr int kCompareNotComparable = -3;   // everything else

// Progress of one comparison. Report receives the bytes processed since its
// previous call; a non-zero answer asks the comparison to stop.
class CompareProgress {
 public:
  virtual ~CompareProgress() = default;
  virtual int Report(int bytes) = 0;
};

// Compares two files (UTF-16 names as the host gave them) by a compare
// field (PluginState::CompareField; null: not comparable). Documents of an
// Outside In filter are compared by their text. progress may be null.
// Every file and buffer is released before it returns.
int CompareFiles(const DocumentSources& sources, const FieldDefinition* field,
                 CompareProgress* progress, const char16_t* name1, const char16_t* name2);

}  // namespace qm::plugin
