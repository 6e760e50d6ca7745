// batch.cpp - nsquery lookup -: one process looks up every name of its
// standard input, one a line, with one exchange per name, and answers each
// in input order with one line as soon as its reply is in:
//
//   text:  NAME<TAB>a.b.c.d (port) (auth=text)
//          NAME<TAB>failed: why
//   JSON:  the lookup's document, or {"command":"lookup","name":...,
//          "ok":false,"forward":...,"error":...}
//
// Each line is flushed at once, so that a batch cut short by --timeout
// still shows every answer it had.  Empty lines are skipped; a line that is
// no service name is answered as failed without an exchange.
#include <cstdio>
#include <string>

#include "commands.hpp"

namespace nsquery {
namespace {

// Longer input lines cannot be a service name (127 characters at most); they
// are read to their end and answered as too long.
constexpr std::size_t kLineMax = 512;

// Reads one line without its line end ("\n" or "\r\n") into line; false at
// the end of the input.  A line longer than kLineMax is cut there and
// *cut set.
bool readLine(std::FILE *in, std::string &line, bool *cut) {
    line.clear();
    *cut = false;
    int c;
    bool any = false;
    while ((c = std::getc(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (line.size() < kLineMax)
            line += static_cast<char>(c);
        else
            *cut = true;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

// A line break in the authentication text would break the one-line-per-name
// promise; it is shown as a blank.
std::string oneLine(std::string text) {
    for (char &c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

void printAnswer(const Command &cmd, const std::string &name, const LookupAnswer &answer) {
    if (cmd.json) {
        if (answer.resolved()) {
            printJson(serviceDoc(cmd, name, answer.haveAddr ? &answer.addr : nullptr, answer.auth));
        } else {
            JsonObject doc = commandDoc(cmd);
            doc.text("name", name).flag("ok", false).flag("forward", cmd.forward).text("error", answer.error);
            printJson(doc);
        }
    } else if (answer.resolved()) {
        std::printf("%s\t%s\n", name.c_str(),
                    oneLine(serviceText(answer.haveAddr ? &answer.addr : nullptr, answer.auth)).c_str());
    } else {
        std::printf("%s\tfailed: %s\n", name.c_str(), answer.error.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int lookupBatch(const Command &cmd) {
    bool allResolved = true;
    std::string name;
    bool cut = false;
    while (readLine(stdin, name, &cut)) {
        if (name.empty() && !cut) continue;
        LookupAnswer answer;
        if (cut)
            answer.error = "the service name is longer than 127 characters";
        else
            answer.error = badServiceName(name);
        if (answer.error.empty()) answer = lookupName(name, cmd.forward);
        allResolved = allResolved && answer.resolved();
        printAnswer(cmd, name, answer);
    }
    return allResolved ? kExitOk : kExitFailed;
}

}  // namespace nsquery
