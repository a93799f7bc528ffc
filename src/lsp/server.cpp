#include "lsp/server.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "compiler/warnings.h"
#include "lsp/playback.h"
#include "lsp/protocol.h"
#include "lsp/score_facts.h"

namespace quarvel::lsp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDeepestNesting = 200;

enum ErrorCode {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kInternalError = -32603,
    kServerNotInitialized = -32002,
};

struct Document {
    std::string text;
    std::shared_ptr<const Analysis> analysis;  // of `text`, when made
    std::optional<Clock::time_point> publishAt;
};

// A file: URI as a path; "" for any other scheme.
std::string pathOfUri(const std::string& uri) {
    if (uri.rfind("file://", 0) != 0) return "";
    std::string path;
    for (std::size_t i = 7; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() &&
            std::isxdigit(static_cast<unsigned char>(uri[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(uri[i + 2]))) {
            path += static_cast<char>(std::stoi(uri.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            path += uri[i];
        }
    }
    return path;
}

std::string runningProgram() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("quarvelcd") : path.string();
}

// A protocol error to answer with.
struct RequestError {
    int code;
    std::string message;
};

class Server {
  public:
    Server(int input, int output, std::string program)
        : reader_(input),
          writer_(output),
          program_(program.empty() ? runningProgram() : std::move(program)),
          playback_(
              [this](const std::string& method, const Json& params) { notify(method, params); }) {}
    ~Server() {
        playback_.stop();
        for (auto& t : jobs_) t.join();
    }

    int run() {
        for (;;) {
            std::string body;
            const auto status = reader_.read(&body, waitMs());
            switch (status) {
                case MessageReader::Status::timeout:
                    publishDue();
                    continue;
                case MessageReader::Status::end:
                    return shutdown_ ? 0 : 1;
                case MessageReader::Status::badHeader:
                    reply(nullptr, std::nullopt,
                          RequestError{kParseError,
                                       "a message header without a usable Content-Length"});
                    continue;
                case MessageReader::Status::message:
                    break;
            }
            handle(body);
            if (exitStatus_) return *exitStatus_;
            publishDue();
        }
    }

  private:
    // --- Sending ----------------------------------------------------------------------
    void notify(const std::string& method, const Json& params) {
        writer_.send({{"jsonrpc", "2.0"}, {"method", method}, {"params", params}});
    }
    void reply(const Json& id, const std::optional<Json>& result,
               const std::optional<RequestError>& error = std::nullopt) {
        Json message{{"jsonrpc", "2.0"}, {"id", id}};
        if (error) {
            message["error"] = {{"code", error->code}, {"message", error->message}};
        } else {
            message["result"] = result ? *result : Json(nullptr);
        }
        writer_.send(message);
    }

    // --- Diagnostics, debounced ----------------------------------------------------------
    int waitMs() const {
        std::optional<Clock::time_point> first;
        for (const auto& [uri, doc] : documents_) {
            if (doc.publishAt && (!first || *doc.publishAt < *first)) first = doc.publishAt;
        }
        if (!first) return -1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*first - Clock::now()).count();
        return left > 0 ? static_cast<int>(std::min<long long>(left, INT_MAX)) : 0;
    }

    void publishDue() {
        const auto now = Clock::now();
        for (auto& [uri, doc] : documents_) {
            if (!doc.publishAt || *doc.publishAt > now) continue;
            doc.publishAt.reset();
            publish(uri, doc);
        }
    }

    void publish(const std::string& uri, Document& doc) {
        notify("textDocument/publishDiagnostics",
               {{"uri", uri}, {"diagnostics", diagnostics(analysisOf(doc), warnings_, uri)}});
    }

    const Analysis& analysisOf(Document& doc) {
        if (!doc.analysis) doc.analysis = std::make_shared<Analysis>(doc.text, dialect_);
        return *doc.analysis;
    }

    void changed(const std::string& uri, std::string text) {
        Document& doc = documents_[uri];
        doc.text = std::move(text);
        doc.analysis.reset();
        doc.publishAt = Clock::now() + debounce_;
    }

    // --- Messages -----------------------------------------------------------------------
    // How deep arrays and objects nest in a message; the JSON is read as
    // text, strings skipped.
    static std::size_t nesting(const std::string& body) {
        std::size_t depth = 0, deepest = 0;
        bool inString = false;
        for (std::size_t i = 0; i < body.size(); ++i) {
            const char c = body[i];
            if (inString) {
                if (c == '\\') {
                    ++i;
                } else if (c == '"') {
                    inString = false;
                }
            } else if (c == '"') {
                inString = true;
            } else if (c == '[' || c == '{') {
                deepest = std::max(deepest, ++depth);
            } else if ((c == ']' || c == '}') && depth > 0) {
                --depth;
            }
        }
        return deepest;
    }

    void handle(const std::string& body) {
        // Nothing the protocol sends nests deeply; copying or writing a
        // value nested without bound would take the stack with it.
        if (nesting(body) > kDeepestNesting) {
            reply(nullptr, std::nullopt,
                  RequestError{kInvalidRequest, "the message nests deeper than " +
                                                    std::to_string(kDeepestNesting) + " levels"});
            return;
        }
        Json message;
        try {
            message = Json::parse(body);
        } catch (const Json::exception&) {
            reply(nullptr, std::nullopt,
                  RequestError{kParseError, "the message is not JSON (or not UTF-8)"});
            return;
        }
        if (message.is_array()) {
            reply(nullptr, std::nullopt, RequestError{kInvalidRequest, "batches are not taken"});
            return;
        }
        const bool hasId = message.is_object() && message.contains("id") &&
                           (message["id"].is_number_integer() || message["id"].is_string());
        const Json id = hasId ? message["id"] : Json(nullptr);
        if (!message.is_object() || !message.contains("method") || !message["method"].is_string()) {
            // A response to a request of ours (none are sent that need one) or junk.
            if (message.is_object() && (message.contains("result") || message.contains("error")))
                return;
            reply(id, std::nullopt, RequestError{kInvalidRequest, "not a request: no method"});
            return;
        }
        const std::string method = message["method"].get<std::string>();
        static const Json noParams = Json::object();
        const Json& params = message.contains("params") ? message["params"] : noParams;
        const bool isRequest = message.contains("id");
        if (isRequest && !hasId) {
            reply(nullptr, std::nullopt,
                  RequestError{kInvalidRequest, "the id must be a number or a string"});
            return;
        }
        if (method == "exit") {
            exitStatus_ = shutdown_ ? 0 : 1;
            return;
        }
        try {
            if (!isRequest) {
                notification(method, params);
                return;
            }
            if (!initialized_ && method != "initialize") {
                reply(id, std::nullopt,
                      RequestError{kServerNotInitialized, "initialize comes first"});
                return;
            }
            if (shutdown_) {
                reply(id, std::nullopt,
                      RequestError{kInvalidRequest, "the server is shut down: only exit is taken"});
                return;
            }
            request(id, method, params);
        } catch (const RequestError& error) {
            if (isRequest) reply(id, std::nullopt, error);
        } catch (const Json::exception& error) {
            if (isRequest)
                reply(id, std::nullopt,
                      RequestError{kInvalidParams, std::string("bad parameters: ") + error.what()});
        } catch (const std::bad_alloc&) {
            if (isRequest) reply(id, std::nullopt, RequestError{kInternalError, "no memory"});
        } catch (const std::exception& error) {
            if (isRequest) reply(id, std::nullopt, RequestError{kInternalError, error.what()});
        }
    }

    static const Json& field(const Json& object, const char* name) {
        static const Json none;
        if (!object.is_object())
            throw RequestError{kInvalidParams,
                               std::string("the parameters must be an object with `") + name + "`"};
        const auto found = object.find(name);
        return found == object.end() ? none : *found;
    }
    static std::string uriOf(const Json& params) {
        const Json& document = field(params, "textDocument");
        const Json& uri = field(document, "uri");
        if (!uri.is_string())
            throw RequestError{kInvalidParams, "textDocument.uri must be a string"};
        return uri.get<std::string>();
    }
    Document* find(const std::string& uri) {
        const auto found = documents_.find(uri);
        return found == documents_.end() ? nullptr : &found->second;
    }

    void configure(const Json& settings) {
        if (!settings.is_object()) return;
        const Json& quarvel = settings.contains("quarvel") && settings["quarvel"].is_object()
                                  ? settings["quarvel"]
                                  : settings;
        if (quarvel.contains("pitchNames") && quarvel["pitchNames"].is_boolean()) {
            pitchNames_ = quarvel["pitchNames"].get<bool>();
        }
        if (quarvel.contains("debounceMs") && quarvel["debounceMs"].is_number_unsigned()) {
            debounce_ = std::chrono::milliseconds(
                std::min<std::uint64_t>(quarvel["debounceMs"].get<std::uint64_t>(), 10000));
        }
        if (quarvel.contains("dialect") && quarvel["dialect"].is_string()) {
            const std::string d = quarvel["dialect"].get<std::string>();
            dialect_ = d == "o" ? Dialect::quarvel : d == "p" ? Dialect::lutera : Dialect::combined;
        }
        WarningSet set = defaultWarnings();
        bool changedWarnings = false;
        for (const char* key : {"warn", "noWarn"}) {
            if (quarvel.contains(key) && quarvel[key].is_string() &&
                !quarvel[key].get<std::string>().empty()) {
                applyWarningSwitch(set, quarvel[key].get<std::string>(),
                                   std::string(key) == "warn");
                changedWarnings = true;
            }
        }
        if (changedWarnings) warnings_ = set;
        for (auto& [uri, doc] : documents_) {
            doc.analysis.reset();
            doc.publishAt = Clock::now();
        }
        // The pitch names may have been turned on or off.
        if (inlayRefresh_ && !documents_.empty()) {
            writer_.send({{"jsonrpc", "2.0"},
                          {"id", "refresh-" + std::to_string(++refreshes_)},
                          {"method", "workspace/inlayHint/refresh"}});
        }
    }

    void notification(const std::string& method, const Json& params) {
        if (!initialized_) return;
        if (method == "textDocument/didOpen") {
            const Json& document = field(params, "textDocument");
            const Json& text = field(document, "text");
            if (!text.is_string()) throw RequestError{kInvalidParams, "no text"};
            changed(uriOf(params), text.get<std::string>());
            documents_[uriOf(params)].publishAt = Clock::now();
        } else if (method == "textDocument/didChange") {
            const std::string uri = uriOf(params);
            Document* doc = find(uri);
            if (!doc) return;
            std::string text = doc->text;
            const Json& changes = field(params, "contentChanges");
            if (!changes.is_array()) return;
            for (const Json& change : changes) {
                const Json& newText = field(change, "text");
                if (!newText.is_string()) continue;
                if (change.contains("range")) {
                    const TextLines lines(text);
                    const auto offset = [&](const Json& p) {
                        LinePosition at;
                        at.line = p.value("line", std::int64_t{0});
                        at.character = p.value("character", std::int64_t{0});
                        return lines.offsetOf(at);
                    };
                    const std::size_t first =
                        offset(change["range"].value("start", Json::object()));
                    const std::size_t last =
                        std::max(first, offset(change["range"].value("end", Json::object())));
                    text.replace(first, last - first, newText.get<std::string>());
                } else {
                    text = newText.get<std::string>();
                }
            }
            changed(uri, std::move(text));
        } else if (method == "textDocument/didClose") {
            const std::string uri = uriOf(params);
            if (documents_.erase(uri) > 0)
                notify("textDocument/publishDiagnostics",
                       {{"uri", uri}, {"diagnostics", Json::array()}});
        } else if (method == "workspace/didChangeConfiguration") {
            configure(field(params, "settings"));
        }
    }

    void request(const Json& id, const std::string& method, const Json& params) {
        if (method == "initialize") {
            if (initialized_) throw RequestError{kInvalidRequest, "initialize comes once"};
            initialized_ = true;
            const Json& offered = field(params, "capabilities");
            inlayRefresh_ = offered.is_object() && offered.contains("workspace") &&
                            offered["workspace"].is_object() &&
                            offered["workspace"].contains("inlayHint") &&
                            offered["workspace"]["inlayHint"].is_object() &&
                            offered["workspace"]["inlayHint"].value("refreshSupport", false);
            if (params.is_object() && params.contains("initializationOptions"))
                configure(params["initializationOptions"]);
            reply(id, Json{{"capabilities", capabilities()},
                           {"serverInfo", {{"name", "quarvelcd"}, {"version", "2.3"}}}});
            return;
        }
        if (method == "shutdown") {
            shutdown_ = true;
            playback_.stop();
            reply(id, Json(nullptr));
            return;
        }
        if (method == "workspace/executeCommand") {
            command(id, params);
            return;
        }
        static const std::set<std::string> known{"textDocument/hover",
                                                 "textDocument/inlayHint",
                                                 "textDocument/semanticTokens/full",
                                                 "textDocument/documentSymbol",
                                                 "textDocument/foldingRange",
                                                 "textDocument/definition",
                                                 "textDocument/references",
                                                 "textDocument/codeAction",
                                                 "textDocument/completion"};
        if (!known.contains(method)) throw RequestError{kMethodNotFound, "no method " + method};
        const std::string uri = uriOf(params);
        Document* doc = find(uri);
        const Json none = method == "textDocument/hover" || method == "textDocument/definition"
                              ? Json(nullptr)
                              : Json::array();
        if (!doc) {
            if (method == "textDocument/semanticTokens/full") {
                reply(id, Json{{"data", Json::array()}});
            } else {
                reply(id, none);
            }
            return;
        }
        const Analysis& a = analysisOf(*doc);
        const auto offset = [&] { return a.offsetOf(field(params, "position")); };
        if (method == "textDocument/hover") {
            const auto h = hover(a, offset());
            reply(id, h ? *h : Json(nullptr));
        } else if (method == "textDocument/inlayHint") {
            if (!pitchNames_) {
                reply(id, Json::array());
                return;
            }
            const Json& range = field(params, "range");
            reply(id, inlayHints(a, a.offsetOf(field(range, "start")),
                                 a.offsetOf(field(range, "end")) + 1));
        } else if (method == "textDocument/semanticTokens/full") {
            reply(id, semanticTokens(a));
        } else if (method == "textDocument/documentSymbol") {
            reply(id, documentSymbols(a));
        } else if (method == "textDocument/foldingRange") {
            reply(id, foldingRanges(a));
        } else if (method == "textDocument/definition") {
            reply(id, definition(a, uri, offset()));
        } else if (method == "textDocument/references") {
            const Json& context = field(params, "context");
            const bool declaration =
                context.is_object() && context.value("includeDeclaration", false);
            reply(id, references(a, uri, offset(), declaration));
        } else if (method == "textDocument/codeAction") {
            reply(id, codeActions(a, uri, field(field(params, "context"), "diagnostics")));
        } else if (method == "textDocument/completion") {
            reply(id, completion(a, offset()));
        } else {
            throw RequestError{kMethodNotFound, "no method " + method};
        }
    }

    Json capabilities() const {
        return {
            {"positionEncoding", "utf-16"},
            {"textDocumentSync", {{"openClose", true}, {"change", 1}}},
            {"hoverProvider", true},
            {"inlayHintProvider", true},
            {"completionProvider", {{"triggerCharacters", {"R", "r", "Y", "y"}}}},
            {"documentSymbolProvider", true},
            {"foldingRangeProvider", true},
            {"definitionProvider", true},
            {"referencesProvider", true},
            {"semanticTokensProvider",
             {{"legend", {{"tokenTypes", semanticTokenTypes()}, {"tokenModifiers", Json::array()}}},
              {"full", true}}},
            {"codeActionProvider", {{"codeActionKinds", {"quickfix"}}}},
            {"executeCommandProvider",
             {{"commands", {"quarvel.play", "quarvel.stop", "quarvel.export"}}}}};
    }

    // --- Commands ------------------------------------------------------------------------
    void command(const Json& id, const Json& params) {
        const Json& name = field(params, "command");
        if (!name.is_string()) throw RequestError{kInvalidParams, "command must be a string"};
        const std::string which = name.get<std::string>();
        const Json& arguments = field(params, "arguments");
        const Json first = arguments.is_array() && !arguments.empty() ? arguments[0] : Json();
        // The arguments: [uri, position] or [{uri, position}].
        std::string uri;
        Json position = Json::object();
        if (first.is_string()) {
            uri = first.get<std::string>();
            if (arguments.size() > 1) position = arguments[1];
        } else if (first.is_object()) {
            if (first.contains("uri") && first["uri"].is_string())
                uri = first["uri"].get<std::string>();
            if (first.contains("position")) position = first["position"];
        }
        if (which == "quarvel.stop") {
            reply(id, Json{{"stopped", playback_.stop()}});
            return;
        }
        if (which != "quarvel.play" && which != "quarvel.export") {
            throw RequestError{kInvalidParams, "no command " + which};
        }
        if (uri.empty()) throw RequestError{kInvalidParams, which + " takes the document's URI"};
        const std::string path = pathOfUri(uri);
        if (which == "quarvel.play") {
            std::string text;
            if (Document* doc = find(uri)) {
                text = doc->text;
            } else {
                throw RequestError{kInvalidParams, "no open document " + uri};
            }
            const std::size_t offset = TextLines(text).offsetOf(
                {position.is_object() ? position.value("line", std::int64_t{0}) : 0,
                 position.is_object() ? position.value("character", std::int64_t{0}) : 0});
            const std::string problem = playback_.play(uri, text, dialect_, offset);
            if (!problem.empty()) throw RequestError{kInvalidParams, "cannot play: " + problem};
            reply(id, Json{{"playing", true}});
            return;
        }
        if (path.empty()) throw RequestError{kInvalidParams, "export needs a file: URI"};
        // The saved file, through the program's own options, beside the score.
        const std::string program = program_;
        const std::size_t dot = path.rfind('.');
        const std::size_t slash = path.rfind('/');
        const std::string stem =
            dot == std::string::npos || (slash != std::string::npos && dot < slash)
                ? path
                : path.substr(0, dot);
        jobs_.emplace_back([this, id, path, program, stem] {
            const ProgramRun run =
                runProgram(program, {"-w", "--midi", "--export", stem + ".musicxml", "--", path});
            if (run.status == 0) {
                reply(id, Json{{"files", {stem + ".wav", stem + ".mid", stem + ".musicxml"}},
                               {"output", run.output}});
            } else {
                reply(id, std::nullopt,
                      RequestError{kInternalError, "export failed (status " +
                                                       std::to_string(run.status) +
                                                       "): " + run.output});
            }
        });
    }

    MessageReader reader_;
    MessageWriter writer_;
    std::string program_;
    std::map<std::string, Document> documents_;
    bool initialized_ = false;
    bool shutdown_ = false;
    std::optional<int> exitStatus_;
    bool pitchNames_ = true;
    bool inlayRefresh_ = false;  // the client takes workspace/inlayHint/refresh
    std::uint64_t refreshes_ = 0;
    Dialect dialect_ = Dialect::combined;
    WarningSet warnings_ = defaultWarnings();
    std::chrono::milliseconds debounce_{150};
    Playback playback_;
    std::list<std::thread> jobs_;
};

void ignoreSignal(int) {}

}  // namespace

int runLanguageServer() {
    // The client going away must end the server by its own checks, and a
    // sound call that does not come back must not end it at all.
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction quiet {};
    quiet.sa_handler = ignoreSignal;
    sigaction(SIGALRM, &quiet, nullptr);
    return serve(STDIN_FILENO, STDOUT_FILENO);
}

int serve(int input, int output, const std::string& program) {
    Server server(input, output, program);
    return server.run();
}

}  // namespace quarvel::lsp
