#pragma once
// Routing of HTTP requests to a plug-in's actions and the JSON replies.
//   GET|POST /<Host><Path>/<Resource>   runs the action; the body is a JSON object ({} when empty)
//   GET /<Host><Path>                   lists the controller's resources as a JSON array
// Only loopback peers naming the host as 127.0.0.1:<port> or localhost:<port> are served (403).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/json_util.h"
#include "plugin/host_contract.h"
#include "testbed/host/http_server.h"

namespace nelto::host {

// "/" + host + path + "/" + resource, with single slashes between the parts.
std::string ControllerPath(const std::string& host, const std::string& path);
std::string ActionPath(const std::string& controllerPath, const std::string& resource);

// Runs one action with the parameters (a JSON object) and gives the HTTP reply: 200 with the
// envelope the action wrote, or 500 when it wrote nothing.
http::Response RunAction(QvActionEntry invoke, const Json& params);

// A reply {"code": "<status>", "message": message, "data": null} with that status.
http::Response HostError(int status, const std::string& message);

class ActionHost {
public:
    ActionHost(std::uint16_t port, const QvControllerInfo* controllers, std::uint32_t count);

    http::Response Handle(const http::Request& request) const;
    std::size_t ActionCount() const { return actions_.size(); }

private:
    std::uint16_t port_;
    std::map<std::string, QvActionEntry> actions_;
    std::map<std::string, std::vector<std::string>> listings_;  // controller path -> resources
};

}  // namespace nelto::host
