// Texts between the model and Qt's text boxes.
#include "config_utility/qt/editor_text.h"

#include <QPlainTextEdit>
#include <QTextDocument>

#include <algorithm>

namespace qm::utility::qt {

QString ToQString(const std::u16string& text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

std::u16string FromQString(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<std::size_t>(text.size()));
}

QString ToDisplay(const std::u16string& text) {
  QString shown;
  shown.reserve(static_cast<qsizetype>(text.size()));
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'\r') {
      if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      shown.append(QLatin1Char('\n'));
    } else {
      shown.append(QChar(c));
    }
  }
  return shown;
}

std::u16string FromDisplay(const QString& text) {
  std::u16string model;
  model.reserve(static_cast<std::size_t>(text.size()) + 16);
  for (const QChar c : text) {
    if (c == QLatin1Char('\n') || c == QChar::ParagraphSeparator) {
      model += u"\r\n";
    } else {
      model += static_cast<char16_t>(c.unicode());
    }
  }
  return model;
}

int DisplayOffset(const std::u16string& text, int offset) {
  const std::size_t end = std::min(static_cast<std::size_t>(std::max(offset, 0)), text.size());
  int shown = 0;
  for (std::size_t i = 0; i < end; ++i) {
    const bool crBeforeLf = text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n';
    if (!crBeforeLf) ++shown;
  }
  return shown;
}

int ModelOffset(const std::u16string& text, int displayOffset) {
  int shown = 0;
  std::size_t i = 0;
  while (i < text.size() && shown < displayOffset) {
    const bool crlf = text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n';
    i += crlf ? 2 : 1;
    ++shown;
  }
  return static_cast<int>(i);
}

std::u16string BoxText(const QPlainTextEdit* box) {
  return FromDisplay(box->document()->toRawText());
}

}  // namespace qm::utility::qt
