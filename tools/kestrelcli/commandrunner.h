#pragma once

#include "commandline.h"
#include "kestrelclient.h"
#include "replyparser.h"

#include <cstdio>

// Runs one kestrel-cli command over one connection: sends its requests,
// checks and prints the replies, and answers the exit status (exitstatus.h).
// Results go to `out`, complaints to `err`, prefixed "kestrel-cli: ".
class CommandRunner
{
public:
    CommandRunner(const CliOptions& options, std::FILE* out, std::FILE* err);

    int run();

private:
    int serverName();
    int clientId();
    int loco();
    int train();
    int shared();
    int share();
    int name();
    int list();
    int listJson();
    int get();
    int set();
    int text();
    int watch();

    // A framed request's reply payload; false, with *status set and the
    // reason reported, when there is none.
    bool fetch(FrameCommand command, const QString& argument, int replyCode, QString* payload, int* status);
    // Reports a failed exchange and answers its exit status.
    int failed(const KestrelClient::Reply& reply);
    int malformed(const QString& what, const QString& payload);
    int noResult(const QString& payload);
    // The controller list (framed code 7), checked.
    bool controllerNames(QVector<ControllerInfo>* controllers, int* status);

    void print(const QString& line);
    void printLabelled(const LabelledValues& values);
    void complain(const QString& message);

    const CliOptions& m_options;
    KestrelClient m_client;
    std::FILE* m_out;
    std::FILE* m_err;
};
