#pragma once

#include <string>

// One HTTP request as the page handling sees it; no sockets involved.
struct HttpRequest {
    std::string method;  // "GET", "HEAD", "POST", ...
    std::string target;  // the raw request target: path, then "?" and the query
    std::string body;    // a POSTed form
    std::string contentType;
    std::string host;          // the Host header
    std::string peer;          // the address the connection came from
    std::string forwardedFor;  // the X-Forwarded-For header, set by a load balancer
    std::string local;         // the address of this end of the connection
    bool tls = false;          // it came through the service's own HTTPS listener
};

struct HttpReply {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::string page = "-";  // the page recognised, for the request log
};
