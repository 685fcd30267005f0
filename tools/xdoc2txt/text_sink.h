// Where the converter's readers put text as they find it.
//
// A reader never holds a document's text: it hands each run to a TextSink,
// which passes it on at once, except for a short tail of line ends and tabs
// that layout rules may still take back (an OpenDocument cell drops the line
// ends of its last paragraph, a table row its last tab). That tail is the
// only text a sink holds, and it is bounded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qm::xdoc {

class TextSink {
 public:
  virtual ~TextSink() = default;

  // UTF-8 text; invalid sequences become U+FFFD.
  void Utf8(std::string_view text);
  void Unit(char16_t unit);
  void Units(std::u16string_view units);
  void EndLine() { Units(u"\r\n"); }

  // Takes back the line ends (CR LF pairs) that end the text so far, while
  // they are still held; gives how many units were dropped.
  std::size_t DropTrailingLineEnds();
  // Takes back a tab that ends the text so far.
  void DropTrailingTab();
  // The last unit of the text so far (0 when there is none).
  char16_t Last() const { return last_; }
  bool Empty() const { return count_ == 0; }
  // Units handed on so far, held ones included.
  std::uint64_t Count() const { return count_; }

  // Hands on the held tail; the text ends here.
  void Finish();

 protected:
  // Receives text in order, in pieces of any size.
  virtual void Write(const char16_t* units, std::size_t n) = 0;

 private:
  static bool Holdable(char16_t u) { return u == u'\r' || u == u'\n' || u == u'\t'; }
  void Release(std::size_t keep);

  static constexpr std::size_t kMaxHeld = 65536;  // longer tails are passed on but the last 4096 units
  std::u16string held_;                           // the tail of line ends and tabs
  char16_t last_ = 0;
  char16_t released_ = 0;  // the last unit passed on
  std::uint64_t count_ = 0;
};

// Keeps the text (tests, and small documents).
class StringSink : public TextSink {
 public:
  std::u16string text;

 protected:
  void Write(const char16_t* units, std::size_t n) override { text.append(units, n); }
};

// Writes the text to a stream as UTF-16LE (with a byte-order mark first) or
// as UTF-8 (without a mark, lines ending in LF), through a fixed buffer.
// Write errors are remembered and reported by Flush.
class StreamSink : public TextSink {
 public:
  enum class Form { kUtf16Le, kUtf8 };
  StreamSink(std::FILE* stream, Form form);
  // Everything written so far reaches the stream; false after any error.
  // The byte-order mark goes out with the first text, or here when the
  // text is whole but empty: a failed document with no text writes nothing.
  bool Flush(bool whole);

 protected:
  void Write(const char16_t* units, std::size_t n) override;

 private:
  void Put(const char* bytes, std::size_t n);
  void PutCodePoint(char32_t c);

  std::FILE* stream_;
  Form form_;
  std::string buffer_;
  bool failed_ = false;
  bool markPending_ = false;
  char16_t highSurrogate_ = 0;  // UTF-8: a high surrogate waiting for its pair
  bool carriageReturn_ = false;  // UTF-8: a CR waiting to see whether LF follows
};

}  // namespace qm::xdoc
