#pragma once

// A TSServer on loopback for the server and fault tests: a port of the
// system's choosing, client threads on the full stub library, settings in a
// temporary working directory of their own.

#include "loopbackclient.h"
#include "settings.h"
#include "tsserver.h" // and the client threads it keeps

#include "stubs/stublibrary.h"

#include <QTemporaryDir>

#include <memory>

class ServerFixture
{
public:
    QTemporaryDir dir;
    StubLibrary stub{QStringLiteral("full")};
    std::unique_ptr<Settings> settings;
    QStringList log; // the lines of every server started since reset()

    // Call from initTestCase(): settings live in the working directory.
    bool setUp()
    {
        if (!dir.isValid() || !stub.isValid() || !QDir::setCurrent(dir.path()))
            return false;
        settings = std::make_unique<Settings>(nullptr);
        return true;
    }

    // Call from init(): a fresh stub with a locomotive of two controllers,
    // the folder the settings name.
    void reset()
    {
        log.clear();
        settings->OverrideTrainSimPath(stub.folder());
        stub.reset();
        stub.setLocoName(QStringLiteral("Class 66"));
        stub.setControllerList(QStringLiteral("Throttle::Brake"));
        stub.setValue(0, 0, 0.5f);
    }

    // Returned even when it could not listen, for the test to look at.
    std::unique_ptr<TSServer> start(quint16 port = 0)
    {
        auto server = std::make_unique<TSServer>(settings.get());
        QObject::connect(server.get(), &TSServer::sigDebugString, server.get(),
                         [this](const QString& line) { log.append(line); });
        server->startListening(QString(), port);
        return server;
    }

    static int clientThreads(TSServer* server) { return server->findChildren<TSServerThread*>().size(); }

    // A client's id, asked with framed code 3; 0 when it was not answered.
    static qintptr clientId(LoopbackClient& client)
    {
        if (!client.send(LoopbackClient::frame(3, 900, QString())))
            return 0;
        const QByteArray reply = client.receiveFrame();
        return reply.mid(19, reply.size() - 20).toLongLong();
    }
};
