#include "dicomweb/Search.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <memory>
#include <set>

#include "dicom/Json.h"
#include "dicomweb/Query.h"

namespace tarncli::dicomweb {
namespace {

using Json = std::unique_ptr<cJSON, void (*)(cJSON*)>;

Json Wrap(cJSON* json) {
    return Json(json, cJSON_Delete);
}

// The attributes each level answers with (DICOMweb's lists, and what whole-slide viewers read),
// and those includefield=all adds at the study and series levels.
constexpr const char* kStudyTags[] = {
    "00080005", "00080020", "00080030", "00080050", "00080056", "00080061", "00080090", "00081190",
    "00100010", "00100020", "00100030", "00100040", "0020000D", "00200010", "00201206", "00201208"};
constexpr const char* kStudyMore[] = {"00080201", "00081030", "00100021", "00104000"};
constexpr const char* kSeriesTags[] = {"00080005", "00080056", "00080060", "0008103E",
                                       "00081190", "0020000E", "00200011", "00201209",
                                       "00400244", "00400245", "00400275"};
constexpr const char* kSeriesMore[] = {"00080021", "00080031", "00080070", "00080080", "00081010",
                                       "00081090", "00181000", "00181020", "00200052"};
constexpr const char* kInstanceTags[] = {"00080005", "00080008", "00080016", "00080018", "00080056",
                                         "00081190", "00200013", "00280008", "00280010", "00280011",
                                         "00280100", "00480006", "00480007"};
constexpr char kRatioTag[] = "00282112";

cJSON* Attribute(const char* vr) {
    cJSON* attribute = cJSON_CreateObject();
    cJSON_AddStringToObject(attribute, "vr", vr);
    return attribute;
}

void Put(cJSON* record, const char* tag, const char* vr, const std::string& text) {
    cJSON* attribute = Attribute(vr);
    cJSON* values = cJSON_AddArrayToObject(attribute, "Value");
    cJSON_AddItemToArray(values, cJSON_CreateString(text.c_str()));
    cJSON_DeleteItemFromObjectCaseSensitive(record, tag);
    cJSON_AddItemToObject(record, tag, attribute);
}

void PutCount(cJSON* record, const char* tag, size_t count) {
    cJSON* attribute = Attribute("IS");
    cJSON* values = cJSON_AddArrayToObject(attribute, "Value");
    cJSON_AddItemToArray(values, cJSON_CreateNumber(static_cast<double>(count)));
    cJSON_DeleteItemFromObjectCaseSensitive(record, tag);
    cJSON_AddItemToObject(record, tag, attribute);
}

struct Searcher {
    Searcher(const Context& c, SearchLevel l) : context(c), level(l) {}

    const Context& context;
    SearchLevel level;
    bool scopedToStudy = false;
    bool scopedToSeries = false;
    SearchQuery query;
    std::set<std::string> answered;  // the tags of every result
    bool needsRatio = false;

    size_t matched = 0;  // results found so far, before paging
    size_t wanted = 0;   // results the page takes
    bool cut = false;    // more matched than the page could take for the server's bound
    Json results = Wrap(cJSON_CreateArray());
    std::string error;

    void Plan() {
        const auto add = [&](const auto& tags) {
            answered.insert(std::begin(tags), std::end(tags));
        };
        const bool studyTags = level == SearchLevel::Study || !scopedToStudy;
        const bool seriesTags =
            level == SearchLevel::Series || (level == SearchLevel::Instance && !scopedToSeries);
        if (studyTags) add(kStudyTags);
        if (seriesTags) add(kSeriesTags);
        if (level == SearchLevel::Instance) add(kInstanceTags);
        if (query.includeAll && studyTags) add(kStudyMore);
        if (query.includeAll && seriesTags) add(kSeriesMore);
        answered.insert(query.includeTags.begin(), query.includeTags.end());
        for (const MatchKey& key : query.keys)
            answered.insert(key.tag);
        needsRatio =
            answered.count(kRatioTag) > 0 || (query.includeAll && level == SearchLevel::Instance);
        const size_t bound = context.options.maxResults;
        wanted = std::min(query.limit, bound);
    }

    // Whether the search is over: the page is full, and it is known whether the bound cut it.
    bool Done() const { return matched >= query.offset + wanted + (query.limit > wanted ? 1 : 0); }

    Json Record(const Slide& slide, size_t index) {
        tarn::dicom::JsonOptions options;
        options.bulkDataUriPrefix = context.InstanceUrl(slide, index) + "/bulkdata";
        if (needsRatio && !context.Ratio(slide, index, &options.compressionRatio, &error)) {
            return Wrap(nullptr);
        }
        std::string json;
        if (!tarn::dicom::InstanceJson(*slide.prepared, index, options, &json, &error)) {
            return Wrap(nullptr);
        }
        Json record = Wrap(cJSON_ParseWithLength(json.data(), json.size()));
        if (!record) {
            error = "an instance's DICOM JSON does not parse";
            return record;
        }
        Put(record.get(), "00080056", "CS", "ONLINE");
        return record;
    }

    void PutStudyCounts(cJSON* record, const std::string& study) {
        size_t instances = 0;
        const std::vector<const Slide*> series = context.StudySeries(study);
        for (const Slide* slide : series)
            instances += context.VisibleInstances(*slide).size();
        Put(record, "00080061", "CS", "SM");
        PutCount(record, "00201206", series.size());
        PutCount(record, "00201208", instances);
    }

    // Matches one result and, when it falls in the page, answers it.
    void Consider(cJSON* record) {
        for (const MatchKey& key : query.keys) {
            if (!Matches(cJSON_GetObjectItemCaseSensitive(record, key.tag.c_str()), key.value))
                return;
        }
        ++matched;
        if (matched <= query.offset) return;
        if (matched > query.offset + wanted) {
            cut = true;
            return;
        }
        cJSON* result = cJSON_CreateObject();
        std::set<std::string> tags = answered;
        if (query.includeAll && level == SearchLevel::Instance) {
            for (const cJSON* item = record->child; item != nullptr; item = item->next)
                tags.insert(item->string);
        }
        for (const std::string& tag : tags) {
            const cJSON* item = cJSON_GetObjectItemCaseSensitive(record, tag.c_str());
            if (item != nullptr)
                cJSON_AddItemToObject(result, tag.c_str(), cJSON_Duplicate(item, 1));
        }
        cJSON_AddItemToArray(results.get(), result);
    }

    bool Run(const std::string& study, const std::string& series) {
        std::vector<std::string> studies;  // in the order their first series is served
        for (const Slide& slide : context.slides) {
            if (!slide.prepared || (!study.empty() && slide.prepared->uids.study != study) ||
                (!series.empty() && slide.prepared->uids.series != series)) {
                continue;
            }
            const std::vector<size_t> visible = context.VisibleInstances(slide);
            if (visible.empty()) continue;
            if (level == SearchLevel::Study) {
                const std::string& uid = slide.prepared->uids.study;
                if (std::find(studies.begin(), studies.end(), uid) != studies.end()) continue;
                studies.push_back(uid);
                Json record = Record(slide, visible.front());
                if (!record) return false;
                PutStudyCounts(record.get(), uid);
                Put(record.get(), "00081190", "UR", context.StudyUrl(slide));
                Consider(record.get());
            } else {
                for (const size_t index : visible) {
                    Json record = Record(slide, index);
                    if (!record) return false;
                    if (!scopedToStudy) PutStudyCounts(record.get(), slide.prepared->uids.study);
                    PutCount(record.get(), "00201209", visible.size());
                    Put(record.get(), "00081190", "UR",
                        level == SearchLevel::Series ? context.SeriesUrl(slide)
                                                     : context.InstanceUrl(slide, index));
                    Consider(record.get());
                    if (level == SearchLevel::Series || Done()) break;
                }
            }
            if (Done()) break;
        }
        return true;
    }
};

}  // namespace

Answer Search(const Context& context, SearchLevel level, const std::string& study,
              const std::string& series) {
    const int chosen =
        Negotiate(context.accept, {{"application/dicom+json", ""}, {"application/json", ""}});
    if (chosen < 0) return ErrorAnswer(406, "searches answer application/dicom+json");
    Searcher searcher(context, level);
    searcher.scopedToStudy = !study.empty();
    searcher.scopedToSeries = !series.empty();
    std::string error;
    if (!ParseSearchQuery(context.request.query, &searcher.query, &error))
        return ErrorAnswer(400, error);
    searcher.Plan();
    if (!searcher.Run(study, series)) return ErrorAnswer(500, searcher.error);

    const bool empty = cJSON_GetArraySize(searcher.results.get()) == 0;
    if (empty && context.options.emptySearchIsNoContent) {
        Answer answer;
        answer.status = 204;
        return answer;
    }
    char* text = cJSON_PrintUnformatted(searcher.results.get());
    Answer answer = BodyAnswer(chosen == 0 ? "application/dicom+json" : "application/json",
                               text != nullptr ? text : "[]");
    cJSON_free(text);
    if (searcher.cut) {
        answer.headers.emplace_back(
            "Warning",
            "299 tarn: The number of results exceeded the maximum supported by the server. "
            "Additional results can be requested.");
    }
    return answer;
}

}  // namespace tarncli::dicomweb
