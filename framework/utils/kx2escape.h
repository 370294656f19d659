// Escaping of untrusted text for one line of a log or a terminal.
//
// File names, virus names and request fields come from people the service
// does not trust. Written raw, a newline in them starts a line that looks
// like the service's own, an escape sequence recolours or rewrites the
// terminal, and bytes that are not UTF-8 garble what follows. The escaped
// form keeps the text on its line and visible, and is reversible: every
// escape stands for exactly the bytes it replaces, and a backslash itself
// is escaped, so the original bytes can always be recovered.
//
//   \\          a backslash
//   \n \t \r    newline, tab, carriage return
//   \xHH        any other byte below 0x20, DEL (0x7F), and every byte that
//               is not part of well-formed UTF-8 (no overlong forms, no
//               surrogates)
//   \uHHHH      C1 controls (U+0080 to U+009F), line and paragraph
//               separators, and format characters (bidirectional overrides,
//               zero-width characters), which reorder or hide what is read;
//               \UHHHHHHHH for such a character beyond U+FFFF
//
// Everything else, Chinese text included, passes through unchanged.
// Hexadecimal digits are upper case. The functions are pure and reentrant.

#ifndef KX2ESCAPE_H
#define KX2ESCAPE_H

#include <QByteArray>
#include <QString>

// The escaped form of `bytes` (UTF-8, or raw file-system bytes in any
// encoding); always well-formed UTF-8 without control characters.
QByteArray kx2Escaped(const QByteArray& bytes);

// The escaped form of `text`, taken as its UTF-8 encoding.
QString kx2Escaped(const QString& text);

// Length of the well-formed UTF-8 sequence at `at` in `s` (`size` bytes in
// all), or 0 when none starts there.
int kx2Utf8SequenceLength(const unsigned char* s, int at, int size);

#endif // KX2ESCAPE_H
