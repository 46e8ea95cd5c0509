// Fuzz target: a remote client's program messages, parsed and run through a command tree with
// the status commands and commands of every parameter kind. Whatever arrives, nothing crashes,
// every error is one of the standard's, and the queue never grows past its capacity.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "remote/CommandTree.h"
#include "remote/Scpi.h"

namespace {
sonarix::scpi::CommandTree MakeTree() {
    using sonarix::scpi::Call;
    sonarix::scpi::CommandTree tree;
    sonarix::scpi::AddStatusCommands(tree);
    double value = 0.0;
    tree.Add(
        "[SENSe:]FREQuency:STARt",
        [value](Call& c) mutable { (void)(c.Parameters(1, 1) && c.Number(0, 1.0, 1e5, value)); },
        [](Call& c) { c.Answer("1000"); });
    tree.Add("FORMat[:DATA]",
             [](Call& c) {
                 int form = 0, bits = 0;
                 if (c.Parameters(1, 2) && c.Choice(0, {"ASCii", "REAL"}, form) && c.Count() == 2)
                     (void)c.Integer(1, 64, 64, bits);
             },
             {});
    tree.Add("MMEMory:STORe:TRACe",
             [](Call& c) {
                 std::string name;
                 bool on = false;
                 if (c.Parameters(2, 2) && c.String(0, name)) (void)c.Boolean(1, on);
             },
             {});
    return tree;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const sonarix::scpi::CommandTree tree = MakeTree();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sonarix::scpi::Status status;
    std::vector<std::string> path;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t end = std::min(text.find('\n', from), text.size());
        const sonarix::scpi::ParsedMessage m =
            sonarix::scpi::ParseMessage(text.substr(from, end - from));
        for (const auto& unit : m.units) tree.Execute(unit, path, status);
        if (m.error != 0) {
            if (std::string(sonarix::scpi::ErrorText(m.error)) == "Error") std::abort();
            status.Push(m.error, m.detail);
        }
        if (status.Count() > sonarix::scpi::Status::kCapacity) std::abort();
        from = end + 1;
    }
    while (status.Count() > 0) {
        const std::string e = status.Pop();
        const int code = std::atoi(e.c_str());
        if (code >= 0 || std::string(sonarix::scpi::ErrorText(code)) == "Error") std::abort();
    }
    return 0;
}
