// The remote control's commands: a tree of SCPI headers ("[SENSe:]FREQuency:STARt"), each with
// what its command form does and what its query form answers, and one unit's execution.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "remote/Scpi.h"

namespace sonarix::scpi {

// What a handler gets: the unit, and where its answer and its errors go. The parameter readers
// queue the standard's error and return false when a parameter is missing, of the wrong type
// or out of range; the handler then returns without acting.
class Call {
public:
    Call(const ProgramUnit& unit, Status& errors) : m_unit(unit), m_errors(errors) {}
    const ProgramUnit& Unit() const { return m_unit; }
    // The connection's status: its error queue and event registers.
    Status& ConnectionStatus() { return m_errors; }
    size_t Count() const { return m_unit.parameters.size(); }

    // Exactly `least` ... `most` parameters (-109 Missing parameter, -108 Parameter not allowed).
    bool Parameters(size_t least, size_t most);
    // Parameter i as a number within [lo, hi]; MINimum and MAXimum name the bounds.
    bool Number(size_t i, double lo, double hi, double& out);
    bool Integer(size_t i, int lo, int hi, int& out);
    // ON or 1, OFF or 0.
    bool Boolean(size_t i, bool& out);
    // Character data naming one of the patterns ("ASCii", "REAL"): its index.
    bool Choice(size_t i, std::initializer_list<const char*> patterns, int& out);
    bool String(size_t i, std::string& out);

    void Fail(int code, const std::string& detail = {});
    bool Failed() const { return m_failed; }
    // The query's response data (one unit's part of the response message).
    void Answer(std::string data) { m_answer = std::move(data); }
    const std::string& Answered() const { return m_answer; }

private:
    const ProgramUnit& m_unit;
    Status& m_errors;
    std::string m_answer;
    bool m_failed = false;
};

using Handler = std::function<void(Call&)>;

class CommandTree {
public:
    // A command: its pattern (optional nodes in brackets; a common command as "*IDN"), the
    // command form's handler and the query form's (either empty where that form does not
    // exist).
    void Add(std::string_view pattern, Handler command, Handler query);

    struct Found {
        const Handler* handler = nullptr;  // nullptr: no such header (or not in that form)
        std::vector<std::string> path;     // the header's nodes as typed, the current path after it
    };
    // The handler of a unit. `path` is the current path of the message (the nodes before the
    // last of the previous command): a header without a leading colon is looked up there first.
    Found Find(const ProgramUnit& unit, const std::vector<std::string>& path) const;

    // Executes one unit: its handler, or -113 Undefined header. Updates `path`. Returns the
    // response data of a query ("" for a command or a failed query).
    std::string Execute(const ProgramUnit& unit, std::vector<std::string>& path,
                        Status& errors) const;

private:
    struct Node {
        std::string name;
        bool optional = false;
    };
    struct Entry {
        bool common = false;
        std::vector<Node> nodes;
        Handler command, query;
    };
    static bool Matches(const std::vector<Node>& nodes, size_t n,
                        const std::vector<std::string>& typed, size_t t);
    std::vector<Entry> m_entries;
};

}  // namespace sonarix::scpi

namespace sonarix::scpi {

// The IEEE 488.2 common commands that concern only the connection (*CLS, *ESE, *ESR?, *SRE,
// *STB?, *OPC, *OPC?, *WAI, *TST?) and SYSTem:ERRor[:NEXT]?, SYSTem:ERRor:COUNt?,
// SYSTem:VERSion?. *OPC? and *WAI answer at once here: the server holds them until the
// running operation has ended.
void AddStatusCommands(CommandTree& tree);

}  // namespace sonarix::scpi
