// Finding the next place where one of a few short ASCII literals occurs, or
// where units lie at fixed distances from each other.
//
// Used by the match loop to skip, without running PCRE, the parts of a text
// that cannot hold a match of an expression every match of which contains
// one of the literals, or begins where the units are. Works on 8-bit text
// (ANSI/OEM or UTF-8) and on UTF-16 units; an ASCII literal is one unit per
// byte in either.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "plugin/evaluation/line_plan.h"

namespace qm::plugin {

// The nibble-mask tables for several literals (see needle_search.cpp).
class LiteralScanner;

// Test and benchmark hook: false keeps every search built while it is
// false on the portable scans (process-wide; default true).
void SetLiteralScannerEnabled(bool enabled);
// Test hook: the widest vector scan used (2: AVX2, 1: SSSE3; default 2),
// so that the narrower one is tested on a processor that has both.
void SetLiteralScannerLevelForTesting(int level);

// Whether several literals are found with the vector scan on this
// processor (x86 with SSSE3).
bool LiteralScannerAvailable();

template <typename Char>
class NeedleSearch {
 public:
  // needles: 1 to 8 non-empty ASCII literals; a caseless literal matches its
  // ASCII letters in either case (and nothing else).
  explicit NeedleSearch(const std::vector<Needle>& needles);
  // probes: two or more, at different offsets: Find then reports the
  // positions p where two of them (the rarest units) hold at p + offset.
  // utf: the text is UTF-8 or UTF-16, where the probes hold only for a
  // start whose characters are one unit each; a start with a unit of a
  // longer character (a byte of 0x80 or above, a surrogate) among the units
  // its probed characters may take (four bytes, two UTF-16 units each) is
  // reported as well.
  NeedleSearch(const std::vector<Probe>& probes, bool utf);

  bool Empty() const { return needles_.empty(); }
  // Find reports where a match may begin (probes), not where a literal it
  // holds lies.
  bool FindsStarts() const { return !needles_.empty() && !needles_.front().compared.empty(); }

  // The first position p in [from, to) where a literal starts and lies
  // wholly inside [0, length) (for probes: where both hold and the farthest
  // probe lies inside); `to` when there is none. to <= length.
  std::size_t Find(const Char* text, std::size_t from, std::size_t to, std::size_t length) const;

 private:
  struct Literal {
    std::string text;
    bool caseless = false;
    // For probes: the offsets of text compared (the other units are not
    // known); empty: all of them.
    std::vector<std::size_t> compared;
  };
  bool MatchesAt(const Literal& literal, const Char* at) const;
  void ChooseProbes();
  void BuildPairShifts();
  void BuildUnitShifts();
  std::size_t FindOneByte(const Char* text, std::size_t from, std::size_t to) const;

  std::size_t FindByVector(const Char* text, std::size_t from, std::size_t to,
                           std::size_t length) const;
  std::size_t FindByNibbles(const Char* text, std::size_t from, std::size_t to,
                            std::size_t length) const;
  std::size_t FindPortably(const Char* text, std::size_t from, std::size_t to,
                           std::size_t length) const;
  std::size_t FindProbesInUtf(const Char* text, std::size_t from, std::size_t to,
                              std::size_t length) const;
  std::size_t FindByPairs(const Char* text, std::size_t from, std::size_t to,
                          std::size_t length) const;
  std::size_t FindByUnits(const Char* text, std::size_t from, std::size_t to,
                          std::size_t length) const;

  std::vector<Literal> needles_;
  std::size_t shortest_ = 0;
  // Shifts over all literals' first `shortest_` units (a window of that
  // many units ends at the unit, or pair of units, looked up), indexed by
  // low bytes: a collision only shortens a shift, which is safe. Literals of
  // one unit use shift_ and last_; longer ones the pair table, whose shift 0
  // marks a window that may end on a literal.
  std::array<std::uint8_t, 256> shift_{};
  std::array<bool, 256> last_{};
  std::vector<std::uint8_t> pairShift_;  // 65536 entries when used
  // One literal (or probes): the units FindByVector compares (both 0 for a
  // literal of one unit).
  std::size_t probe1_ = 0;
  std::size_t probe2_ = 0;
  // Probes in UTF text: the units from a start that must all be characters
  // of one unit for the probes to hold (0: they always hold).
  std::size_t singleReach_ = 0;
  // Two to eight literals: the nibble-mask tables for longer ranges (null:
  // the portable scans only).
  std::shared_ptr<const LiteralScanner> scanner_;
};

// The first CR or LF in [from, to) of text, or `to` when there is none.
// Vectorised where the target has SSE2; the search for a line's end must
// not cost more per byte than the matching it bounds.
template <typename Char>
std::size_t FindLineEnd(const Char* text, std::size_t from, std::size_t to);

extern template class NeedleSearch<char>;
extern template class NeedleSearch<char16_t>;

}  // namespace qm::plugin
