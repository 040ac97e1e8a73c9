#pragma once

#include <QByteArray>
#include <QHash>

// The live port's HTTP side as pure functions over bytes: the head of a
// request read (within a size and header-count cap), told apart as a
// WebSocket upgrade for the live protocol or a request for one of the cab
// page's files, and answered. Only GET and HEAD of the bundled files by
// their exact paths are served; nothing on disk is ever looked at.
class HttpResponder
{
public:
    static constexpr int MaxHeadBytes = 8192;
    static constexpr int MaxHeaders = 64;
    static constexpr const char* LivePath = "/live/v1";

    enum class Head { Incomplete, Complete, Malformed, TooLarge };

    struct Request
    {
        QByteArray method;
        QByteArray path; // without the query
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };

    // Reads the head at the start of `bytes`, up to the empty line.
    static Head parse(const QByteArray& bytes, Request* request);

    // A GET on the live path that asks for a WebSocket.
    static bool isLiveUpgrade(const Request& request);

    // The whole response to a request, or to a head that could not be read.
    static QByteArray respond(const Request& request);
    static QByteArray refuse(Head head);
};
