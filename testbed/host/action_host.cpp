#include "testbed/host/action_host.h"

#include "common/win/unicode.h"
#include "testbed/host/host_objects.h"

namespace nelto::host {
namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";

std::string Text(const wchar_t* text) { return text ? Narrow(text) : std::string(); }

std::string Dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

bool IsBlank(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Drops a leading and a trailing slash.
std::string Trimmed(std::string part) {
    while (!part.empty() && part.front() == '/') part.erase(part.begin());
    while (!part.empty() && part.back() == '/') part.pop_back();
    return part;
}

}  // namespace

std::string ControllerPath(const std::string& host, const std::string& path) {
    std::string result = "/" + Trimmed(host);
    if (const std::string rest = Trimmed(path); !rest.empty()) result += "/" + rest;
    return result;
}

std::string ActionPath(const std::string& controllerPath, const std::string& resource) {
    return controllerPath + "/" + Trimmed(resource);
}

http::Response HostError(int status, const std::string& message) {
    Json envelope = Json::object();
    envelope["code"] = std::to_string(status);
    envelope["message"] = message;
    envelope["data"] = nullptr;
    return http::Response{status, kJsonType, Dump(envelope)};
}

http::Response RunAction(QvActionEntry invoke, const Json& params) {
    auto* request = new ActionRequest(Dump(params));
    auto* response = new ActionResponse();
    auto* context = new ActionContext(request, response);
    request->Release();
    bool thrown = false;
    try {
        invoke(context);  // its Boolean says nothing the response does not
    } catch (...) {
        thrown = true;  // a plug-in must not let one out; reply as for no answer
    }
    context->Release();
    const WriteKind kind = response->Kind();
    const Json envelope = response->Envelope();
    response->Release();
    if (thrown) return HostError(500, "the action failed with an exception");
    if (kind == WriteKind::None) return HostError(500, "the action wrote no response");
    return http::Response{200, kJsonType, Dump(envelope)};
}

ActionHost::ActionHost(std::uint16_t port, const QvControllerInfo* controllers, std::uint32_t count)
    : port_(port) {
    for (std::uint32_t c = 0; controllers && c < count; ++c) {
        const QvControllerInfo& controller = controllers[c];
        const std::string base = ControllerPath(Text(controller.Host), Text(controller.Path));
        std::vector<std::string>& listing = listings_[base];
        for (std::uint32_t m = 0; controller.Methods && m < controller.MethodCount; ++m) {
            const QvRequestMappingInfo& method = controller.Methods[m];
            if (!method.Invoke) continue;
            const std::string resource = Text(method.Resource);
            // The first mapping of a path wins, as the first declared method would.
            if (actions_.emplace(ActionPath(base, resource), method.Invoke).second) listing.push_back(resource);
        }
    }
}

http::Response ActionHost::Handle(const http::Request& request) const {
    const std::string port = std::to_string(port_);
    if (!request.remoteLoopback) return HostError(403, "only local callers are served");
    if (request.host != "127.0.0.1:" + port && request.host != "localhost:" + port) {
        return HostError(403, "the Host header must name 127.0.0.1:" + port + " or localhost:" + port);
    }
    if (const auto listing = listings_.find(request.path); listing != listings_.end()) {
        if (request.method != "GET") return HostError(405, "routes are listed with GET");
        return http::Response{200, kJsonType, Dump(Json(listing->second))};
    }
    const auto action = actions_.find(request.path);
    if (action == actions_.end()) return HostError(404, "no action at " + request.path);
    if (request.method != "GET" && request.method != "POST") {
        return HostError(405, "actions take GET or POST");
    }
    Json params = Json::object();
    if (!IsBlank(request.body)) {
        auto parsed = ParseJsonObject(request.body);
        if (!parsed) return HostError(400, "the body must be a JSON object");
        params = std::move(*parsed);
    }
    return RunAction(action->second, params);
}

}  // namespace nelto::host
