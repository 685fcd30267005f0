// The text sinks of xdoc2txt.
#include "text_sink.h"

#include <utf8.h>

#include <iterator>

namespace qm::xdoc {

// ---------------------------------------------------------------------------
// TextSink
// ---------------------------------------------------------------------------
void TextSink::Utf8(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  if (utf8::is_valid(text.begin(), text.end())) {
    utf8::unchecked::utf8to16(text.begin(), text.end(), std::back_inserter(units));
  } else {
    std::string valid;
    utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
    utf8::unchecked::utf8to16(valid.begin(), valid.end(), std::back_inserter(units));
  }
  Units(units);
}

void TextSink::Unit(char16_t unit) { Units(std::u16string_view(&unit, 1)); }

void TextSink::Units(std::u16string_view units) {
  std::size_t i = 0;
  while (i < units.size()) {
    if (Holdable(units[i])) {
      held_.push_back(units[i++]);
      if (held_.size() > kMaxHeld) Release(4096);
      continue;
    }
    std::size_t j = i;
    while (j < units.size() && !Holdable(units[j])) ++j;
    Release(0);
    Write(units.data() + i, j - i);
    released_ = units[j - 1];
    i = j;
  }
  if (!units.empty()) last_ = units.back();
  count_ += units.size();
}

void TextSink::Release(std::size_t keep) {
  if (held_.size() <= keep) return;
  const std::size_t n = held_.size() - keep;
  Write(held_.data(), n);
  released_ = held_[n - 1];
  held_.erase(0, n);
}

std::size_t TextSink::DropTrailingLineEnds() {
  std::size_t dropped = 0;
  while (held_.size() >= 2 && held_.compare(held_.size() - 2, 2, u"\r\n") == 0) {
    held_.resize(held_.size() - 2);
    dropped += 2;
  }
  if (dropped != 0) {
    count_ -= dropped;
    last_ = !held_.empty() ? held_.back() : released_;
  }
  return dropped;
}

void TextSink::DropTrailingTab() {
  if (held_.empty() || held_.back() != u'\t') return;
  held_.pop_back();
  --count_;
  last_ = !held_.empty() ? held_.back() : released_;
}

void TextSink::Finish() { Release(0); }

// ---------------------------------------------------------------------------
// StreamSink
// ---------------------------------------------------------------------------
namespace {
constexpr std::size_t kStreamBuffer = 65536;
}

StreamSink::StreamSink(std::FILE* stream, Form form) : stream_(stream), form_(form) {
  buffer_.reserve(kStreamBuffer);
  markPending_ = form_ == Form::kUtf16Le;
}

void StreamSink::Put(const char* bytes, std::size_t n) {
  if (buffer_.size() + n > kStreamBuffer) {
    if (!failed_ && !buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), stream_) != buffer_.size()) {
      failed_ = true;
    }
    buffer_.clear();
  }
  buffer_.append(bytes, n);
}

void StreamSink::PutCodePoint(char32_t c) {
  char bytes[4];
  char* end = utf8::unchecked::append(static_cast<std::uint32_t>(c), bytes);
  Put(bytes, static_cast<std::size_t>(end - bytes));
}

void StreamSink::Write(const char16_t* units, std::size_t n) {
  if (markPending_) {
    Put("\xFF\xFE", 2);
    markPending_ = false;
  }
  if (form_ == Form::kUtf16Le) {
    char pair[2];
    for (std::size_t i = 0; i < n; ++i) {
      pair[0] = static_cast<char>(units[i] & 0xFF);
      pair[1] = static_cast<char>(units[i] >> 8);
      Put(pair, 2);
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t u = units[i];
    if (carriageReturn_) {
      carriageReturn_ = false;
      if (u != u'\n') Put("\n", 1);  // a lone CR ends a line too
    }
    if (highSurrogate_ != 0 && (u < 0xDC00 || u > 0xDFFF)) {
      PutCodePoint(0xFFFD);
      highSurrogate_ = 0;
    }
    if (u >= 0xD800 && u <= 0xDBFF) {
      highSurrogate_ = u;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      PutCodePoint(highSurrogate_ != 0 ? 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (u - 0xDC00) : 0xFFFD);
      highSurrogate_ = 0;
    } else if (u == u'\r') {
      carriageReturn_ = true;
    } else {
      PutCodePoint(u);
    }
  }
}

bool StreamSink::Flush(bool whole) {
  Finish();
  if (markPending_ && whole) Put("\xFF\xFE", 2);
  markPending_ = false;
  if (highSurrogate_ != 0) PutCodePoint(0xFFFD);
  if (carriageReturn_) Put("\n", 1);
  highSurrogate_ = 0;
  carriageReturn_ = false;
  if (!failed_ && !buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), stream_) != buffer_.size()) {
    failed_ = true;
  }
  buffer_.clear();
  if (std::fflush(stream_) != 0) failed_ = true;
  return !failed_;
}

}  // namespace qm::xdoc
