#pragma once

// A TSServer on loopback for the server and fault tests: a port of the
// system's choosing, client threads on the full stub library, settings in a
// temporary working directory of their own.

#include "loopbackclient.h"
#include "settings.h"
#include "tsserver.h"
#include "tsserverthread.h"

#include "stubs/stublibrary.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

class ServerFixture
{
public:
    QTemporaryDir dir;
    StubLibrary stub{QStringLiteral("full")};
    std::unique_ptr<Settings> settings;

    // Call from initTestCase(): settings live in the working directory.
    bool setUp()
    {
        if (!dir.isValid() || !stub.isValid() || !QDir::setCurrent(dir.path()))
            return false;
        settings = std::make_unique<Settings>(nullptr);
        settings->OverrideTrainSimPath(stub.folder());
        return true;
    }

    // Call from init(): a fresh stub with a locomotive of two controllers.
    void resetStub()
    {
        stub.reset();
        stub.setLocoName(QStringLiteral("Class 66"));
        stub.setControllerList(QStringLiteral("Throttle::Brake"));
        stub.setValue(0, 0, 0.5f);
        stub.setValue(0, 2, 1.0f);
        stub.setValue(1, 2, 1.0f);
    }

    std::unique_ptr<TSServer> start()
    {
        auto server = std::make_unique<TSServer>(settings.get());
        server->startListening(QString(), 0);
        return server->isListening() ? std::move(server) : nullptr;
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

    static bool hasLine(const QSignalSpy& log, const QString& text, int level = -1)
    {
        for (const QList<QVariant>& line : log) {
            if (line.at(0).toString() == text && (level < 0 || line.at(1).toInt() == level))
                return true;
        }
        return false;
    }
    static int linesStartingWith(const QSignalSpy& log, const QString& prefix)
    {
        int count = 0;
        for (const QList<QVariant>& line : log)
            count += line.at(0).toString().startsWith(prefix) ? 1 : 0;
        return count;
    }
};
