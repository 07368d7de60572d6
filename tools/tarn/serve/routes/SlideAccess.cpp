#include "routes/SlideAccess.h"

namespace tarncli::serve {

std::shared_ptr<ServedSlide> LookSlide(Server& server, std::string_view name) {
    SlideEntry* entry = server.Entry(name);
    return entry != nullptr ? server.Look(*entry) : nullptr;
}

bool HoldSlide(Server& server, const http::Call& call, std::string_view name, HeldSlide* held,
               http::Answer* instead) {
    SlideEntry* entry = server.Entry(name);
    if (entry == nullptr) {
        *instead = http::NotFound();
        return false;
    }
    const int seats = server.seatsPerSlide;
    if (!held->seat.Take(*entry, seats, &server.site.deferrals)) {
        *instead = call.mayWait ? http::Later([entry, seats] { return SeatFree(*entry, seats); },
                                              http::Clock::now() + kSeatWait)
                                : http::Busy("this slide is busy: try again soon", 5);
        return false;
    }
    held->slide = server.Check(*entry);
    if (held->slide == nullptr) {
        *instead = http::NotFound();
        return false;
    }
    return true;
}

bool RequestOrigin(const http::HttpRequest& request, std::string* origin) {
    if (!request.host || request.host->empty() || request.host->size() > 255 ||
        request.host->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                        "0123456789.-_:[]") != std::string::npos)
        return false;
    *origin = "http://" + *request.host;
    return true;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace tarncli::serve
