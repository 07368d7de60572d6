// Slides on web servers and in S3-compatible storage as byte sources (src/Remote reads them).
#pragma once

#include <string>

#include "Common/Status.h"
#include "Core/ByteSource.h"
#include "Core/OpenFailure.h"

namespace tarn {

// True for names the library reads as URLs: http://, https:// and s3://.
bool IsSlideUrl(const char* name);

// The URL as messages may show it: without user part and query, where credentials and
// signatures travel ("the URL" when it cannot be read as one).
std::string ShownSlideUrl(const char* url);

// The object at `url` as a source, after one request for its leading bytes, its size and its
// version. Reads fetch ranges through the process's block cache, each call's reads within one
// deadline (SourceCall); an object that changed on the server fails them with Status::FileChanged,
// a truncated answer or a server that stays away with Status::ShortRead, the reason in words
// without the URL (the slide's name says it). The identity is the URL (without user part and
// signing parameters) and the object's ETag, or its Last-Modified date and size. False with
// `*failure` set (SourceFailed, its reason in `why`; NoMemory).
bool OpenRemoteSource(const char* url, ByteSource* source, OpenFailure* failure);

struct Slide;

// For a slide over an object whose server gives neither ETag nor Last-Modified (whose versions of
// one size look alike), has every later fetch followed by one of the header, layer records and
// (some of the) tile tables the open read, so that reads fail as on a changed object once those
// differ. Nothing to do for other slides. False when memory ran out.
bool WatchRemoteRecords(const Slide& slide);

// The object's version in a source OpenRemoteSource made (its ETag, or its Last-Modified date
// and size); null for any other source.
const char* RemoteSourceVersion(const ByteSource& source);

}  // namespace tarn
