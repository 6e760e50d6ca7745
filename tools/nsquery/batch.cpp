// batch.cpp - nsquery lookup -: one process looks up every name of its
// standard input, one a line, with one exchange per name, and answers each
// in input order with one line as soon as its reply is in:
//
//   text:  NAME<TAB>a.b.c.d (port) (auth=text)
//          NAME<TAB>failed: why
//   JSON:  the lookup's document, or {"command":"lookup","name":...,
//          "ok":false,"forward":...,"error":...}
//
// The master is located once per batch.  Each line is flushed at once, so
// that a batch cut short by --timeout still shows every answer it had.
// Empty lines are skipped; a line that is no service name is answered as
// failed without an exchange.
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
                    serviceText(answer.haveAddr ? &answer.addr : nullptr, answer.auth).c_str());
    } else {
        std::printf("%s\tfailed: %s\n", name.c_str(), answer.error.c_str());
    }
    std::fflush(stdout);
}

// The master is located once for the whole batch: the configured host's
// name is resolved before the first exchange and its address remembered as
// the override, as a discovery remembers the master it found, so that no
// name resolves it again.  Each name keeps its own fallback: when the
// master does not answer, that name's second attempt broadcasts, and the
// master that answers is remembered for the names after it.  Without a
// configured master the first name's discovery does the same.
void locateMasterOnce() {
    NsAddr master{};
    if (presetNS(&master, nullptr) == 0) presetNS(nullptr, &master);
}

}  // namespace

int lookupBatch(const Command &cmd) {
    bool allResolved = true;
    std::string name;
    bool cut = false;
    bool located = false;
    while (readLine(stdin, name, &cut)) {
        if (name.empty() && !cut) continue;
        LookupAnswer answer;
        if (cut)
            answer.error = "the service name is longer than 127 characters";
        else
            answer.error = badServiceName(name);
        if (answer.error.empty()) {
            if (!located) locateMasterOnce();
            located = true;
            answer = lookupName(name, cmd.forward);
        }
        allResolved = allResolved && answer.resolved();
        printAnswer(cmd, name, answer);
    }
    return allResolved ? kExitOk : kExitFailed;
}

}  // namespace nsquery
