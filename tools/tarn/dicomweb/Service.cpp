#include "dicomweb/DicomWeb.h"

#include "dicom/Frames.h"
#include "dicomweb/Context.h"
#include "dicomweb/Render.h"
#include "dicomweb/Retrieve.h"
#include "dicomweb/Search.h"

namespace tarncli::dicomweb {
namespace {

bool IsRendered(const std::string& segment) {
    return segment == "rendered" || segment == "thumbnail";
}

std::vector<InstanceRef> SeriesInstances(const Context& context, const Slide& slide) {
    std::vector<InstanceRef> instances;
    for (const size_t index : context.VisibleInstances(slide))
        instances.push_back({&slide, index});
    return instances;
}

Answer NotFound() {
    return ErrorAnswer(404, "no such resource");
}

// The resources under /studies/{study}/series/{series}/instances/{instance}: path[6] on.
Answer RouteInstance(const Context& context, const InstanceRef& instance,
                     const std::vector<std::string>& path) {
    const size_t n = path.size();
    if (n == 6) return Objects(context, {instance});
    const std::string& what = path[6];
    if (n == 7 && what == "metadata") return Metadata(context, {instance});
    if (n == 7 && what == "rendered") return RenderInstance(context, instance);
    if (n == 7 && what == "thumbnail") {
        // Every level shows the whole slide: the slide's thumbnail stands for each.
        const bool level = instance.slide->prepared->instances[instance.index].kind ==
                           tarn::dicom::ImageKind::Volume;
        const InstanceRef shown = {
            instance.slide,
            level ? RepresentativeInstance(context, *instance.slide) : instance.index};
        return RenderInstance(context, shown);
    }
    if (n == 8 && what == "bulkdata") return BulkData(context, instance, path[7]);
    if (n == 8 && what == "frames") return Frames(context, instance, path[7]);
    if (n == 9 && what == "frames" && IsRendered(path[8]))
        return RenderFrame(context, instance, path[7]);
    return NotFound();
}

Answer Route(const Context& context) {
    const std::vector<std::string>& path = context.request.path;
    const size_t n = path.size();
    if (n == 1 && path[0] == "studies") return Search(context, SearchLevel::Study, "", "");
    if (n == 1 && path[0] == "series") return Search(context, SearchLevel::Series, "", "");
    if (n == 1 && path[0] == "instances") return Search(context, SearchLevel::Instance, "", "");
    if (n < 2 || path[0] != "studies") return NotFound();
    const std::string& study = path[1];
    if (n == 3 && path[2] == "series") return Search(context, SearchLevel::Series, study, "");
    if (n == 3 && path[2] == "instances") return Search(context, SearchLevel::Instance, study, "");
    if (n == 5 && path[2] == "series" && path[4] == "instances")
        return Search(context, SearchLevel::Instance, study, path[3]);

    if (n <= 3) {
        const std::vector<const Slide*> series = context.StudySeries(study);
        if (series.empty()) return NotFound();
        std::vector<InstanceRef> instances;
        for (const Slide* slide : series) {
            const std::vector<InstanceRef> more = SeriesInstances(context, *slide);
            instances.insert(instances.end(), more.begin(), more.end());
        }
        if (n == 2) return Objects(context, instances);
        if (path[2] == "metadata") return Metadata(context, instances);
        if (IsRendered(path[2]))
            return RenderInstance(
                context, {series.front(), RepresentativeInstance(context, *series.front())});
        return NotFound();
    }
    if (path[2] != "series") return NotFound();
    const Slide* slide = context.FindSeries(study, path[3]);
    if (slide == nullptr) return NotFound();
    if (n == 4) return Objects(context, SeriesInstances(context, *slide));
    if (n == 5 && path[4] == "metadata") return Metadata(context, SeriesInstances(context, *slide));
    if (n == 5 && IsRendered(path[4]))
        return RenderInstance(context, {slide, RepresentativeInstance(context, *slide)});
    if (n < 6 || path[4] != "instances") return NotFound();
    InstanceRef instance;
    if (!context.FindInstance(study, path[3], path[5], &instance)) return NotFound();
    return RouteInstance(context, instance, path);
}

}  // namespace

Service::Service(Options options)
    : options_(std::move(options)), ratios_(std::make_shared<RatioBook>()) {
    if (!options_.frames) {
        options_.frames = [](const Slide& slide, size_t instance, int64_t frame,
                             std::vector<uint8_t>* jpeg, std::string* error) {
            return tarn::dicom::ReadFrame(slide.slide, *slide.prepared, instance, frame, jpeg,
                                          error);
        };
    }
    if (options_.maxFrames == 0) options_.maxFrames = 1;
    if (options_.maxResults == 0) options_.maxResults = 1;
    if (options_.maxRenderedPixels < 1) options_.maxRenderedPixels = 1;
}

Service::~Service() = default;

Answer Service::Handle(const Request& request, const std::vector<Slide>& slides) const {
    if (request.method != "GET" && request.method != "HEAD") {
        Answer answer = ErrorAnswer(405, "this DICOMweb service is read-only");
        answer.headers.emplace_back("Allow", "GET, HEAD");
        return answer;
    }
    const Context context{options_, options_.frames, ratios_,
                          request,  slides,          ParseAccept(request.accept)};
    Answer answer = Route(context);
    // The form of the answer follows the Accept header: caches must key on it.
    if (answer.status == 200) answer.headers.emplace_back("Vary", "Accept");
    return answer;
}

}  // namespace tarncli::dicomweb
