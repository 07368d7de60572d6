// The route table of `tarn serve`: every protocol's routes in one list, which the HTTP layer walks
// for each request (the first match answers). Each protocol lives in its own file and hands over
// its rows from one function, declared here and listed once in RouteTable.cpp.
#pragma once

#include <string>
#include <vector>

#include "http/Route.h"

namespace tarncli::serve {

struct Server;

// The protocols, in the order they are matched and counted in /status.
std::vector<http::Route> PageRoutes(Server& server);        // "/", "/view/<slide>"
std::vector<http::Route> DeepZoomRoutes(Server& server);    // "/deepzoom/..."
std::vector<http::Route> AssociatedRoutes(Server& server);  // "/properties/...", "/associated/..."
std::vector<http::Route> IiifRoutes(Server& server);        // "/iiif/3/..."
std::vector<http::Route> DicomWebRoutes(Server& server);    // "/dicomweb/..."
std::vector<http::Route> AssetRoutes(Server& server);       // "/static/...", "/favicon.ico"
std::vector<http::Route> StatusRoutes(Server& server);      // "/status"

// Every protocol's routes, each row's counter numbered after the distinct counter names.
std::vector<http::Route> MakeRouteTable(Server& server);

// The distinct counter names of `routes`, in order: what ServeStatus counts under.
std::vector<std::string> CounterNames(const std::vector<http::Route>& routes);

}  // namespace tarncli::serve
