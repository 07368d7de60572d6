#include "routes/RouteTable.h"

#include <algorithm>

namespace tarncli::serve {

std::vector<http::Route> MakeRouteTable(Server& server) {
    std::vector<http::Route> table;
    for (std::vector<http::Route> (*family)(Server&) :
         {PageRoutes, DeepZoomRoutes, AssociatedRoutes, IiifRoutes, DicomWebRoutes, AssetRoutes,
          StatusRoutes}) {
        std::vector<http::Route> routes = family(server);
        table.insert(table.end(), routes.begin(), routes.end());
    }
    const std::vector<std::string> names = CounterNames(table);
    for (http::Route& route : table)
        route.counterIndex = static_cast<size_t>(
            std::find(names.begin(), names.end(), route.counter) - names.begin());
    return table;
}

std::vector<std::string> CounterNames(const std::vector<http::Route>& routes) {
    std::vector<std::string> names;
    for (const http::Route& route : routes)
        if (std::find(names.begin(), names.end(), route.counter) == names.end())
            names.emplace_back(route.counter);
    return names;
}

}  // namespace tarncli::serve
