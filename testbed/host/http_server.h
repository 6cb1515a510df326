#pragma once
// A small HTTP server on the Windows HTTP Server API (httpapi.dll, version 2.0: server session,
// URL group, request queue). Four threads keep receives pending and hand each request to a pool
// of workers, which call the handler (several at the same time) and send what it returns.
//
// Under Wine 8 the strong wildcard "http://+:<port>/" registers and listens on every address;
// one request queue takes a single URL there; HttpShutdownRequestQueue is not implemented (the
// threads are stopped by cancelling their overlapped receives instead); a request that arrives
// while no receive is pending may never be delivered, hence the separate receivers; and closing
// any request queue closes every listening socket of the prefix, hence a watcher that registers
// the URL again when the port stops listening (under Wine only).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nelto::http {

struct Request {
    std::string method;         // "GET", "POST", ... (upper case)
    std::string path;           // absolute path without the query, e.g. "/nelto/rezaManager"
    std::string query;          // after '?', without it
    std::string host;           // the Host header as sent
    std::string contentType;    // the Content-Type header as sent
    std::string body;           // raw bytes of the entity body
    std::string remoteAddress;  // numeric, e.g. "127.0.0.1" or "::1"
    bool remoteLoopback = false;
};

struct Response {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
};

// Called on any of the working threads, several at the same time. An exception becomes a 500.
using Handler = std::function<Response(const Request&)>;

// The reason phrase of a status code ("OK", "Not Found", ...).
const char* ReasonPhrase(int status);

class Server {
public:
    explicit Server(Handler handler);
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Registers http://+:<port>/ (when refused: http://127.0.0.1:<port>/ and
    // http://localhost:<port>/) and starts the receivers and `workers` working threads. False
    // with a description in *error when nothing could be registered; when true, *error tells
    // what was refused on the way, if anything.
    bool Start(std::uint16_t port, unsigned workers, std::string* error);
    // Stops accepting, lets the requests being handled finish and be answered, joins the
    // threads and closes the queue. Safe to call more than once.
    void Stop();

    // The URLs registered by Start.
    const std::vector<std::string>& Urls() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace nelto::http
