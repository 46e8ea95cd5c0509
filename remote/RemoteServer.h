// The SCPI server: a raw TCP socket (port 5025 by default, as bench instruments use) that takes
// program messages, one per line, runs them through the command tree and answers the queries.
// Each connection has its own error queue. The server never waits: input is taken as it comes,
// answers are queued on the socket, and *OPC? and *WAI hold only their own connection's
// further messages until the operation a command started has ended.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "remote/CommandTree.h"
#include "remote/Scpi.h"

class QTcpServer;
class QTcpSocket;

namespace sonarix {

struct RemoteOptions {
    uint16_t port = 5025;
    // Connections from other hosts as well; otherwise only from this computer's 127.0.0.1 or ::1.
    bool otherHosts = false;
    bool operator==(const RemoteOptions&) const = default;
};

class RemoteServer : public QObject {
public:
    static constexpr int kMostClients = 4;
    // The longest program message taken; a longer one is dropped with -363 Input buffer overrun.
    static constexpr size_t kLongestMessage = 1 << 16;

    explicit RemoteServer(const scpi::CommandTree& tree, QObject* parent = nullptr);
    ~RemoteServer() override;

    // Listens; false with the reason (the port taken, no permission) when it cannot.
    bool Start(const RemoteOptions& options, std::string& why);
    void Stop();
    bool Listening() const;
    // The options of the last Start.
    const RemoteOptions& Options() const { return m_options; }
    uint16_t Port() const;
    int Clients() const { return static_cast<int>(m_clients.size()); }

    // Told the number of connections whenever it changes.
    std::function<void(int connections)> ConnectionsChanged;
    // Whether an operation started by a command is still running: *OPC? and *WAI wait for it.
    std::function<bool()> Busy;
    // Bracket every unit's run with the connection's status, so that what the program would
    // tell its user meanwhile goes to that connection's error queue.
    std::function<void(const std::shared_ptr<scpi::Status>& status)> BeginUnit;
    std::function<void()> EndUnit;

private:
    struct Client {
        QTcpSocket* socket = nullptr;
        std::string input;
        bool skipping = false;  // the rest of an overlong message is dropped
        std::deque<std::string> messages;
        scpi::ParsedMessage current;
        size_t next = 0;  // the next unit of `current`
        std::vector<std::string> path;
        std::string response;
        bool waiting = false;     // at *OPC? or *WAI while Busy()
        bool opcPending = false;  // *OPC given while Busy(): the event bit comes at the end
        std::shared_ptr<scpi::Status> status = std::make_shared<scpi::Status>();
    };
    void Accept();
    void Read(Client& c);
    void Run(Client& c);
    void Drop(QTcpSocket* socket);
    void Resume();

    const scpi::CommandTree& m_tree;
    QTcpServer* m_server = nullptr;
    RemoteOptions m_options;
    std::vector<std::unique_ptr<Client>> m_clients;
    QTimer m_poll;  // runs while a connection waits for the operation's end
};

}  // namespace sonarix
