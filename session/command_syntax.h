// What a client's command line is: the one definition that every layer
// reading the client's commands uses (the plug-in's command relay and the
// host's STARTTLS gate), so that no layer can take a line for something
// another layer, or the server, reads differently.
//
// A command line is a verb, the leading run of ASCII letters, digits and "-"
// (RFC 5321 section 4.1.2, "Keyword"), then SP or HTAB and its parameters,
// or the line's end. Servers split commands differently: Postfix ends a verb
// at any white-space byte (VT and FF included), others at SP only. A line
// that some server could read as another command than ours is refused:
//   - any other byte right after the verb (so "XCLIENT<VT>ADDR=..." is no
//     XCLIENT to us and must not be one to the server either);
//   - a control byte anywhere (0x00-0x1F but HTAB, and DEL), a bare CR or
//     LF included: a server that ends lines at a bare LF would read two
//     commands where we saw one;
//   - white space before the verb.
// Bytes 0x80 and above stay allowed in parameters (SMTPUTF8, RFC 6531). An
// empty line has no verb and nothing after it: it is well formed, and the
// server answers it.
//
// Message text after DATA and answers to an AUTH challenge are no command
// lines and are not judged here.
//
// Header only, with no dependency but the C++ library, so that the plug-in
// and the host both include it. Nothing here allocates; CCommandSyntax
// judges a line fed in pieces of any size, so a reader that streams a line
// need not keep it.
#ifndef DIVIVEZ_SESSION_COMMAND_SYNTAX_H_
#define DIVIVEZ_SESSION_COMMAND_SYNTAX_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

enum class ECommandSyntax : uint8_t {
  kWellFormed,
  kLeadingSpace,  // white space before the verb
  kBadVerbEnd,    // the verb is followed by a byte other than SP or HTAB
  kControlByte,   // a control byte other than HTAB (a bare CR or LF included)
};

inline bool IsCommandVerbByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// SP, and HTAB taken as SP.
inline bool IsCommandBlank(char c) { return c == ' ' || c == '\t'; }

// C0 controls but HTAB, and DEL. Bytes 0x80 and above are not controls here.
inline bool IsCommandControlByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7f;
}

// The verb's length: the leading run of letters, digits and "-".
inline size_t CommandVerbLength(const char* line, size_t length) {
  size_t n = 0;
  while (n < length && IsCommandVerbByte(line[n])) ++n;
  return n;
}

// Whether the line's verb is `verb` (upper case), in any letter case.
inline bool CommandVerbIs(const char* line, size_t length, const char* verb) {
  const size_t n = CommandVerbLength(line, length);
  if (n != std::strlen(verb)) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = line[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != verb[i]) return false;
  }
  return true;
}

// A line's syntax judged as its bytes arrive, without its CRLF. The first
// fault found is the one kept.
class CCommandSyntax {
 public:
  void Begin() {
    m_eResult = ECommandSyntax::kWellFormed;
    m_bInVerb = true;
    m_nVerbLength = 0;
  }

  void Feed(const char* data, size_t length) {
    size_t i = 0;
    if (m_bInVerb) {
      while (i < length && IsCommandVerbByte(data[i])) ++i;
      m_nVerbLength += i;
      if (i == length) return;
      m_bInVerb = false;
      const char c = data[i];
      if (!IsCommandBlank(c)) {
        Fault(IsCommandControlByte(c) ? ECommandSyntax::kControlByte : ECommandSyntax::kBadVerbEnd);
      } else if (m_nVerbLength == 0) {
        Fault(ECommandSyntax::kLeadingSpace);
      }
      ++i;
    }
    if (m_eResult != ECommandSyntax::kWellFormed) return;
    for (; i < length; ++i) {
      if (IsCommandControlByte(data[i])) {
        Fault(ECommandSyntax::kControlByte);
        return;
      }
    }
  }

  ECommandSyntax Result() const { return m_eResult; }
  bool WellFormed() const { return m_eResult == ECommandSyntax::kWellFormed; }
  // The verb's length so far (final once a byte after it was fed).
  size_t VerbLength() const { return m_nVerbLength; }

 private:
  void Fault(ECommandSyntax fault) {
    if (m_eResult == ECommandSyntax::kWellFormed) m_eResult = fault;
  }

  ECommandSyntax m_eResult = ECommandSyntax::kWellFormed;
  bool m_bInVerb = true;
  size_t m_nVerbLength = 0;
};

// A whole line, its CRLF (when it ends in one) not part of the question.
inline ECommandSyntax CommandLineSyntax(const char* line, size_t length) {
  if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') length -= 2;
  CCommandSyntax syntax;
  syntax.Begin();
  syntax.Feed(line, length);
  return syntax.Result();
}

#endif  // DIVIVEZ_SESSION_COMMAND_SYNTAX_H_
