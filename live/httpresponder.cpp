#include "httpresponder.h"

#include <QFile>

namespace {

struct BundledFile
{
    const char* path;
    const char* resource;
    const char* type;
};

const BundledFile kFiles[] = {
    {"/", ":/live/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/live/index.html", "text/html; charset=utf-8"},
    {"/cab.css", ":/live/cab.css", "text/css; charset=utf-8"},
    {"/cab.js", ":/live/cab.js", "text/javascript; charset=utf-8"},
    {"/icon.png", ":/live/icon.png", "image/png"},
};

QByteArray response(const char* status, const QByteArray& type, const QByteArray& body, bool withBody,
                    const QByteArray& extra = QByteArray())
{
    return "HTTP/1.1 " + QByteArray(status) + "\r\nContent-Type: " + type
        + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n" + extra + "\r\n"
        + (withBody ? body : QByteArray());
}

QByteArray plain(const char* status, const QByteArray& extra = QByteArray())
{
    return response(status, "text/plain; charset=utf-8", QByteArray(status) + '\n', true, extra);
}

} // namespace

HttpResponder::Head HttpResponder::parse(const QByteArray& bytes, Request* request)
{
    const int end = bytes.indexOf("\r\n\r\n");
    if (end < 0)
        return bytes.size() > MaxHeadBytes ? Head::TooLarge : Head::Incomplete;
    if (end > MaxHeadBytes)
        return Head::TooLarge;
    const QList<QByteArray> lines = bytes.left(end).split('\n');
    if (lines.size() - 1 > MaxHeaders)
        return Head::TooLarge;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.") || !requestLine.at(1).startsWith('/'))
        return Head::Malformed;
    request->method = requestLine.at(0);
    const int query = requestLine.at(1).indexOf('?');
    request->path = query < 0 ? requestLine.at(1) : requestLine.at(1).left(query);
    request->headers.clear();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon <= 0)
            return Head::Malformed;
        request->headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    return Head::Complete;
}

bool HttpResponder::isLiveUpgrade(const Request& request)
{
    return request.method == "GET" && request.path == LivePath
        && request.headers.value("upgrade").toLower() == "websocket";
}

QByteArray HttpResponder::respond(const Request& request)
{
    if (request.method != "GET" && request.method != "HEAD")
        return plain("405 Method Not Allowed", "Allow: GET, HEAD\r\n");
    for (const BundledFile& file : kFiles) {
        if (request.path != file.path)
            continue;
        QFile resource(QString::fromLatin1(file.resource));
        if (!resource.open(QIODevice::ReadOnly))
            break;
        return response("200 OK", file.type, resource.readAll(), request.method == "GET");
    }
    return plain("404 Not Found");
}

QByteArray HttpResponder::refuse(Head head)
{
    return head == Head::TooLarge ? plain("431 Request Header Fields Too Large") : plain("400 Bad Request");
}
