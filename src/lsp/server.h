// quarvelcd --lsp: the language server on standard input and output.
#pragma once

#include <string>

namespace quarvel::lsp {

// Serves until the client sends "exit" or closes the input; answers the
// exit status: 0 after "shutdown", 1 otherwise.
int runLanguageServer();

// The same on any pair of descriptors; `program` is what export runs (the
// running program when empty).
int serve(int input, int output, const std::string& program = "");

}  // namespace quarvel::lsp
