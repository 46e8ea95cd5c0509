// The command tree and the parameter readers.
#include "remote/CommandTree.h"

#include <cmath>

namespace sonarix::scpi {

bool Call::Parameters(size_t least, size_t most) {
    if (Count() < least) {
        Fail(kMissingParameter, m_unit.Header());
        return false;
    }
    if (Count() > most) {
        Fail(kParameterNotAllowed, m_unit.Header());
        return false;
    }
    return true;
}

bool Call::Number(size_t i, double lo, double hi, double& out) {
    if (i >= Count()) {
        Fail(kMissingParameter, m_unit.Header());
        return false;
    }
    const Parameter& p = m_unit.parameters[i];
    if (p.kind == Parameter::Kind::Character && MnemonicMatches("MINimum", p.text)) {
        out = lo;
        return true;
    }
    if (p.kind == Parameter::Kind::Character && MnemonicMatches("MAXimum", p.text)) {
        out = hi;
        return true;
    }
    if (p.kind != Parameter::Kind::Numeric) {
        Fail(kDataTypeError, "a number expected");
        return false;
    }
    if (!(p.number >= lo && p.number <= hi)) {
        Fail(kDataOutOfRange,
             p.text + " is not within " + FormatNumber(lo) + " ... " + FormatNumber(hi));
        return false;
    }
    out = p.number;
    return true;
}

bool Call::Integer(size_t i, int lo, int hi, int& out) {
    double v = 0.0;
    if (!Number(i, lo, hi, v)) return false;
    out = static_cast<int>(std::lround(v));
    return true;
}

bool Call::Boolean(size_t i, bool& out) {
    if (i >= Count()) {
        Fail(kMissingParameter, m_unit.Header());
        return false;
    }
    const Parameter& p = m_unit.parameters[i];
    if (p.kind == Parameter::Kind::Numeric && (p.number == 0.0 || p.number == 1.0)) {
        out = p.number == 1.0;
        return true;
    }
    if (p.kind == Parameter::Kind::Character && (p.text == "ON" || p.text == "OFF")) {
        out = p.text == "ON";
        return true;
    }
    Fail(p.kind == Parameter::Kind::Numeric ? kIllegalParameterValue : kDataTypeError,
         "ON, OFF, 1 or 0 expected");
    return false;
}

bool Call::Choice(size_t i, std::initializer_list<const char*> patterns, int& out) {
    if (i >= Count()) {
        Fail(kMissingParameter, m_unit.Header());
        return false;
    }
    const Parameter& p = m_unit.parameters[i];
    if (p.kind != Parameter::Kind::Character) {
        Fail(kDataTypeError, "a name expected");
        return false;
    }
    int k = 0;
    for (const char* pattern : patterns) {
        if (MnemonicMatches(pattern, p.text)) {
            out = k;
            return true;
        }
        ++k;
    }
    Fail(kIllegalParameterValue, p.text);
    return false;
}

bool Call::String(size_t i, std::string& out) {
    if (i >= Count()) {
        Fail(kMissingParameter, m_unit.Header());
        return false;
    }
    const Parameter& p = m_unit.parameters[i];
    if (p.kind != Parameter::Kind::String) {
        Fail(kDataTypeError, "a quoted string expected");
        return false;
    }
    out = p.text;
    return true;
}

void Call::Fail(int code, const std::string& detail) {
    m_failed = true;
    m_errors.Push(code, detail);
}

void CommandTree::Add(std::string_view pattern, Handler command, Handler query) {
    Entry e;
    e.command = std::move(command);
    e.query = std::move(query);
    if (!pattern.empty() && pattern[0] == '*') {
        e.common = true;
        e.nodes.push_back({std::string(pattern.substr(1)), false});
    } else {
        // Nodes between colons; one inside brackets ("[SENSe:]", "[:NEXT]") is optional.
        Node n;
        bool inBrackets = false;
        auto flush = [&] {
            if (!n.name.empty()) e.nodes.push_back(std::move(n));
            n = Node{};
        };
        for (const char ch : pattern) {
            if (ch == '[') {
                flush();
                inBrackets = true;
            } else if (ch == ']') {
                flush();
                inBrackets = false;
            } else if (ch == ':') {
                flush();
            } else {
                n.name += ch;
                n.optional = inBrackets;
            }
        }
        flush();
    }
    m_entries.push_back(std::move(e));
}

bool CommandTree::Matches(const std::vector<Node>& nodes, size_t n,
                          const std::vector<std::string>& typed, size_t t) {
    if (n == nodes.size()) return t == typed.size();
    if (nodes[n].optional && Matches(nodes, n + 1, typed, t)) return true;
    return t < typed.size() && MnemonicMatches(nodes[n].name, typed[t]) &&
           Matches(nodes, n + 1, typed, t + 1);
}

CommandTree::Found CommandTree::Find(const ProgramUnit& unit,
                                     const std::vector<std::string>& path) const {
    std::vector<std::vector<std::string>> tries;
    if (!unit.common && !unit.absolute && !path.empty()) {
        std::vector<std::string> relative = path;
        relative.insert(relative.end(), unit.mnemonics.begin(), unit.mnemonics.end());
        tries.push_back(std::move(relative));
    }
    tries.push_back(unit.mnemonics);
    for (const std::vector<std::string>& typed : tries) {
        for (const Entry& e : m_entries) {
            if (e.common != unit.common || !Matches(e.nodes, 0, typed, 0)) continue;
            const Handler& h = unit.query ? e.query : e.command;
            Found f;
            f.handler = h ? &h : nullptr;
            f.path = typed;
            return f;
        }
    }
    return {};
}

std::string CommandTree::Execute(const ProgramUnit& unit, std::vector<std::string>& path,
                                 Status& errors) const {
    const Found f = Find(unit, path);
    if (f.handler == nullptr) {
        errors.Push(kUndefinedHeader, unit.Header());
        return {};
    }
    if (!unit.common) {
        path = f.path;
        path.pop_back();
    }
    Call call(unit, errors);
    (*f.handler)(call);
    return call.Failed() ? std::string() : call.Answered();
}

}  // namespace sonarix::scpi

namespace sonarix::scpi {

void AddStatusCommands(CommandTree& tree) {
    auto none = [](Call& c) { return c.Parameters(0, 0); };
    tree.Add("*CLS",
             [none](Call& c) {
                 if (none(c)) c.ConnectionStatus().Clear();
             },
             {});
    tree.Add(
        "*ESE",
        [](Call& c) {
            int v = 0;
            if (c.Parameters(1, 1) && c.Integer(0, 0, 255, v)) c.ConnectionStatus().eventEnable = v;
        },
        [](Call& c) { c.Answer(std::to_string(c.ConnectionStatus().eventEnable)); });
    tree.Add("*ESR", {}, [](Call& c) {
        Status& s = c.ConnectionStatus();
        c.Answer(std::to_string(s.events));
        s.events = 0;
    });
    tree.Add(
        "*SRE",
        [](Call& c) {
            int v = 0;
            if (c.Parameters(1, 1) && c.Integer(0, 0, 255, v))
                c.ConnectionStatus().serviceEnable = v;
        },
        [](Call& c) { c.Answer(std::to_string(c.ConnectionStatus().serviceEnable)); });
    tree.Add("*STB", {},
             [](Call& c) { c.Answer(std::to_string(c.ConnectionStatus().StatusByte())); });
    // Reached only when nothing runs (the server holds them until then).
    tree.Add(
        "*OPC",
        [none](Call& c) {
            if (none(c)) c.ConnectionStatus().events |= Status::kOperationComplete;
        },
        [none](Call& c) {
            if (none(c)) c.Answer("1");
        });
    tree.Add("*WAI", none, {});
    tree.Add("*TST", {}, [](Call& c) { c.Answer("0"); });
    auto next = [](Call& c) { c.Answer(c.ConnectionStatus().Pop()); };
    tree.Add("SYSTem:ERRor[:NEXT]", {}, next);
    tree.Add("SYSTem:ERRor:COUNt", {},
             [](Call& c) { c.Answer(std::to_string(c.ConnectionStatus().Count())); });
    tree.Add("SYSTem:VERSion", {}, [](Call& c) { c.Answer("1999.0"); });
}

}  // namespace sonarix::scpi
