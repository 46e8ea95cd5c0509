// The remote control of the running program: the SCPI commands bound to the windows (a command
// does what the user's click or entry does, on the same controls), the server, and where the
// program's messages go while a script drives: into the error queue of the connection whose
// command caused them, never into a message box.
#pragma once

#include <QTimer>
#include <memory>
#include <optional>
#include <string>

#include "platform/Context.h"
#include "remote/CommandTree.h"
#include "remote/RemoteServer.h"

namespace sonarix {

struct Program;

class RemoteControl {
public:
    // The program's windows exist when it is made and outlive it.
    explicit RemoteControl(Program& program);
    ~RemoteControl();

    // Starts the server; false with the reason when it cannot listen.
    bool Start(const RemoteOptions& options, std::string& why);
    RemoteServer& Server() { return m_server; }
    const scpi::CommandTree& Tree() const { return m_tree; }
    // A measurement (stepped, fast or of an angle value), a tone (also the rest of an angle
    // value's), a fit or a calibration is running.
    bool Busy() const;
    // While something runs: `code` with the reason in the connection's queue, and true.
    bool Refused(scpi::Call& c, int code = scpi::kSettingsConflict) const;

private:
    void AddSweepCommands();
    void AddTraceCommands();
    void AddProgramCommands();
    void AddFileCommands();
    void AddApparatusCommands();
    void AddWaveCommands();
    void AddFitCommands();
    // The program's messages go to `status` until the operation a command started has ended.
    void RouteWhileRunning(const std::shared_ptr<scpi::Status>& status);

    Program& p;
    scpi::CommandTree m_tree;
    RemoteServer m_server;
    std::optional<platform::ContextScope> m_unit;       // while a unit runs
    std::optional<platform::ContextScope> m_operation;  // while its operation runs
    std::shared_ptr<scpi::Status> m_current;            // the status of the unit that runs
    QTimer m_watch;                                     // ends m_operation with the operation
};

}  // namespace sonarix
