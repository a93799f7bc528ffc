// quarvelcd --lsp: the language server on standard input and output.
#pragma once

namespace quarvel::lsp {

// Serves until the client sends "exit" or closes the input; answers the
// exit status: 0 after "shutdown", 1 otherwise.
int runLanguageServer();

}  // namespace quarvel::lsp
