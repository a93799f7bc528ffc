// The program's messages to people and tools: the one-line diagnostic on
// standard error, text shown inert so that a file name or a score cannot
// drive the terminal, the source excerpt under an error, and JSON strings.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "compiler/source_reader.h"

namespace quarvel {

// One line on standard error: "quarvelcd: <message>", the message shown
// inert (see below), so a file name cannot drive the terminal or break the line.
void diagnose(const std::string& message);

// Text in a visible, inert form: control bytes other than tab in caret
// notation ("^[", "^?"), C1 controls (a lone byte 0x80..0x9F, or one encoded
// in UTF-8) as "\x9b"; valid UTF-8 and other bytes as they are.
std::string inert(std::string_view text);
// The same, written to a stream in pieces without a copy of the text.
void writeInert(std::FILE* out, std::string_view text);

// The source line and caret shown under a compile error diagnostic: at most
// about 200 bytes of the line around the caret, "..." where it is cut.
std::string errorContext(const CompileError& error, const SourceText& text);

// A JSON string literal: quotes, backslashes and control bytes escaped, bytes
// that are not UTF-8 replaced by U+FFFD.
std::string jsonString(std::string_view text);

}  // namespace quarvel
