// The SCPI server's connections.
#include "remote/RemoteServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>

namespace sonarix {

namespace {
// A unit that waits for the running operation's end before it runs: *WAI and *OPC?.
bool Waits(const scpi::ProgramUnit& u) {
    return u.common && u.mnemonics.size() == 1 &&
           ((u.mnemonics[0] == "OPC" && u.query) || (u.mnemonics[0] == "WAI" && !u.query));
}
bool IsOpcCommand(const scpi::ProgramUnit& u) {
    return u.common && !u.query && u.mnemonics.size() == 1 && u.mnemonics[0] == "OPC";
}
bool FromThisComputer(const QHostAddress& a) {
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? ip == 0x7F000001u : a == QHostAddress::LocalHostIPv6;
}
}  // namespace

RemoteServer::RemoteServer(const scpi::CommandTree& tree, QObject* parent)
    : QObject(parent), m_tree(tree) {
    m_poll.setInterval(5);
    connect(&m_poll, &QTimer::timeout, this, [this] { Resume(); });
}

RemoteServer::~RemoteServer() { Stop(); }

bool RemoteServer::Start(const RemoteOptions& options, std::string& why) {
    Stop();
    m_options = options;
    m_server = new QTcpServer(this);
    const QHostAddress where = options.otherHosts ? QHostAddress::Any : QHostAddress::LocalHost;
    if (!m_server->listen(where, options.port)) {
        why = "port " + std::to_string(options.port) + ": " + m_server->errorString().toStdString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, [this] { Accept(); });
    return true;
}

void RemoteServer::Stop() {
    m_poll.stop();
    for (const auto& c : m_clients) {
        c->socket->disconnect(this);
        c->socket->abort();
        c->socket->deleteLater();
    }
    m_clients.clear();
    if (m_server != nullptr) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
}

bool RemoteServer::Listening() const { return m_server != nullptr && m_server->isListening(); }

uint16_t RemoteServer::Port() const { return Listening() ? m_server->serverPort() : 0; }

void RemoteServer::Accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        const char* refusal = nullptr;
        if (!m_options.otherHosts && !FromThisComputer(socket->peerAddress())) {
            refusal = "refused: this instrument takes connections from this computer only\n";
        } else if (Clients() >= kMostClients) {
            refusal = "refused: at most 4 connections at once\n";
        }
        if (refusal != nullptr) {
            socket->write(refusal);
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->socket = socket;
        Client* raw = c.get();
        m_clients.push_back(std::move(c));
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { Read(*raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
        if (ConnectionsChanged) ConnectionsChanged(Clients());
    }
}

void RemoteServer::Drop(QTcpSocket* socket) {
    const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                 [socket](const auto& c) { return c->socket == socket; });
    if (it == m_clients.end()) return;
    socket->disconnect(this);
    socket->deleteLater();
    m_clients.erase(it);
    if (ConnectionsChanged) ConnectionsChanged(Clients());
}

void RemoteServer::Read(Client& c) {
    const QByteArray bytes = c.socket->readAll();
    for (const char ch : bytes) {
        if (ch == '\n') {
            if (!c.skipping) {
                if (!c.input.empty() && c.input.back() == '\r') c.input.pop_back();
                c.messages.push_back(std::move(c.input));
            }
            c.input.clear();
            c.skipping = false;
            continue;
        }
        if (c.skipping) continue;
        if (c.input.size() >= kLongestMessage) {
            c.status->Push(scpi::kInputBufferOverrun,
                           "a message is at most " + std::to_string(kLongestMessage) + " bytes");
            c.input.clear();
            c.skipping = true;
            continue;
        }
        c.input += ch;
    }
    Run(c);
}

void RemoteServer::Run(Client& c) {
    for (;;) {
        if (c.next >= c.current.units.size()) {
            // The message is done: its error, then its answers as one response message.
            if (c.current.error != scpi::kNoError) {
                c.status->Push(c.current.error, c.current.detail);
                c.current.error = scpi::kNoError;
            }
            if (!c.response.empty()) {
                c.response += '\n';
                c.socket->write(c.response.data(), static_cast<qint64>(c.response.size()));
                c.response.clear();
            }
            if (c.messages.empty()) return;
            c.current = scpi::ParseMessage(c.messages.front());
            c.messages.pop_front();
            c.next = 0;
            c.path.clear();
            continue;
        }
        const scpi::ProgramUnit& unit = c.current.units[c.next];
        const bool busy = Busy && Busy();
        if (Waits(unit) && busy) {
            c.waiting = true;
            m_poll.start();
            return;
        }
        c.waiting = false;
        ++c.next;
        if (IsOpcCommand(unit) && busy) {
            c.opcPending = true;
            m_poll.start();
        }
        if (BeginUnit) BeginUnit(c.status);
        const std::string answer = m_tree.Execute(unit, c.path, *c.status);
        if (EndUnit) EndUnit();
        if (unit.query && !answer.empty()) {
            if (!c.response.empty()) c.response += ';';
            c.response += answer;
        }
    }
}

void RemoteServer::Resume() {
    if (Busy && Busy()) return;
    m_poll.stop();
    // Each connection runs on as far as it can; one may start another operation meanwhile.
    std::vector<QTcpSocket*> sockets;
    for (const auto& c : m_clients) sockets.push_back(c->socket);
    for (QTcpSocket* s : sockets) {
        const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                     [s](const auto& c) { return c->socket == s; });
        if (it == m_clients.end()) continue;
        Client& c = **it;
        if (c.opcPending && !(Busy && Busy())) {
            c.opcPending = false;
            c.status->events |= scpi::Status::kOperationComplete;
        }
        if (c.waiting) Run(c);
    }
    for (const auto& c : m_clients) {
        if (c->waiting || c->opcPending) m_poll.start();
    }
}

}  // namespace sonarix
