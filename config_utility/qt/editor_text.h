// Texts between the model and Qt's text boxes.
//
// The model edits multi-line texts with CR LF line ends and gives selections
// as offsets into them; a QPlainTextEdit holds one paragraph per line and
// counts a line end as one character. These conversions keep both views of
// a text and of a position in it in step.
#pragma once

#include <QString>

#include <string>

class QPlainTextEdit;

namespace qm::utility::qt {

QString ToQString(const std::u16string& text);
std::u16string FromQString(const QString& text);

// A model text as a text box shows it: CR LF, and a lone CR or LF, become
// one line end.
QString ToDisplay(const std::u16string& text);
// A text box's text as the model takes it: every line end becomes CR LF.
// Other characters (no-break spaces included) are kept as they are.
std::u16string FromDisplay(const QString& text);

// An offset into a model text as an offset into its displayed form (an
// offset between CR and LF counts as before the line end), and back.
int DisplayOffset(const std::u16string& text, int offset);
int ModelOffset(const std::u16string& text, int displayOffset);

// The whole text of a box, exactly as typed (QPlainTextEdit::toPlainText
// would turn no-break spaces into blanks), in the model's form.
std::u16string BoxText(const QPlainTextEdit* box);

}  // namespace qm::utility::qt
