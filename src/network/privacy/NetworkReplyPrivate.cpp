#include "network/privacy/NetworkReplyPrivate.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <limits>
#include <utility>

namespace tandrel::privacy {

NetworkReplyPrivate::NetworkReplyPrivate(CURL* easyHandle, CompletionCallback done, int timeout,
                                         std::shared_ptr<NetworkManager> manager)
    : handle(easyHandle)
    , done(std::move(done))
    , owner(std::move(manager))
    , timeout(timeout)
    , startTime(std::chrono::steady_clock::now())
{
}

NetworkReplyPrivate::NetworkReplyPrivate(CURL* easyHandle, CompletionCallback done, ProgressCallback progress,
                                         std::unique_ptr<BlockFile> target, int timeout,
                                         std::shared_ptr<NetworkManager> manager, bool resume)
    : handle(easyHandle)
    , done(std::move(done))
    , progress(std::move(progress))
    , file(std::move(target))
    , owner(std::move(manager))
    , timeout(timeout)
    , startTime(std::chrono::steady_clock::now())
{
    std::error_code ec;
    if (resume)
        resumeOffset = std::filesystem::file_size(file->path(), ec);
    if (ec)
        resumeOffset = 0;
    // The file holds exactly this transfer's bytes. One that can't be opened
    // fails the transfer, even when no byte comes to be written.
    writeFailed = !file->open(resumeOffset > 0, resumeOffset);
}

NetworkReplyPrivate::~NetworkReplyPrivate()
{
    closeFile();
    releaseHandle();
}

void NetworkReplyPrivate::finish()
{
    // The download is over: its file is complete and closed before anyone is told.
    if (handle != nullptr)
        decideResume();
    closeFile();
    if (handle == nullptr)
        return;
    curl_off_t total = 0;
    curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME_T, &total);
    totalMicroseconds = total;
    const char* url = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr)
        effectiveUrl = url;
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    status = static_cast<int>(code);
    // The last request's headers: those of the final response.
    for (curl_header* h = nullptr; (h = curl_easy_nextheader(handle, CURLH_HEADER, -1, h)) != nullptr;)
        finalHeaders.emplace_back(h->name, h->value);
    releaseHandle();
}

bool NetworkReplyPrivate::followRedirect(CURLcode& result)
{
    if (!redirects || handle == nullptr)
        return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline() - std::chrono::steady_clock::now());
    std::shared_ptr<curl_slist> list;
    if (!redirects->next(handle, result, left, list))
        return false;
    headerList = std::move(list);
    content.clear();
    kept = 0;
    return true;
}

void NetworkReplyPrivate::cancel()
{
    // Moved out first: destroying the callback may run arbitrary code.
    const CompletionCallback dropped = std::move(done);
    done = nullptr;
}

void NetworkReplyPrivate::discard()
{
    closeFile();
    releaseHandle();
}

void NetworkReplyPrivate::releaseHandle()
{
    // The header list must outlive the handle that points at it.
    if (handle != nullptr)
        curl_easy_cleanup(handle);
    handle = nullptr;
    headerList.reset();
}

std::string NetworkReplyPrivate::header(const std::string& name) const
{
    const auto sameName = [&name](const std::pair<std::string, std::string>& entry) {
        return entry.first.size() == name.size()
               && std::equal(name.begin(), name.end(), entry.first.begin(),
                             [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
    };
    const auto found = std::find_if(finalHeaders.begin(), finalHeaders.end(), sameName);
    return found != finalHeaders.end() ? found->second : std::string();
}

CURLcode NetworkReplyPrivate::outcome(CURLcode result) const
{
    if (result == CURLE_OK && writeFailed)
        return CURLE_WRITE_ERROR;
    if (result != CURLE_OK && result != CURLE_WRITE_ERROR)
        return result;
    if (rangeRefused)
        return CURLE_RANGE_ERROR;
    if (result == CURLE_WRITE_ERROR && overBound)
        return CURLE_FILESIZE_EXCEEDED;
    return result == CURLE_WRITE_ERROR && stoppedByCaller ? CURLE_ABORTED_BY_CALLBACK : result;
}

long NetworkReplyPrivate::limitMilliseconds(std::int64_t seconds)
{
    constexpr long longest = std::numeric_limits<long>::max();
    return seconds > longest / 1000 ? longest : static_cast<long>(seconds * 1000);
}

std::string NetworkReplyPrivate::toString() const
{
    return "reply:\nurl:" + effectiveUrl + "\nstatus code:" + std::to_string(status)
           + " (status code 200 means ok,status code 0 means can not get reply from remote)\nheader:" + headerBytes
           + "\nbody:" + content + "\n";
}

namespace {

// Runs write on the reply behind libcurl's user pointer. A missing reply or
// anything thrown gives 0, which libcurl turns into its write error: no
// exception may cross libcurl.
template <class Write>
size_t sink(void* userdata, Write write)
{
    auto* reply = static_cast<NetworkReplyPrivate*>(userdata);
    if (reply == nullptr)
        return 0;
    try {
        return write(*reply);
    } catch (...) {
        return 0;
    }
}

} // namespace

size_t NetworkReplyPrivate::headerSink(char* data, size_t size, size_t count, void* userdata)
{
    return sink(userdata, [&](NetworkReplyPrivate& reply) {
        reply.headerBytes.append(data, size * count);
        return size * count;
    });
}

size_t NetworkReplyPrivate::bodySink(char* data, size_t size, size_t count, void* userdata)
{
    return sink(userdata, [&](NetworkReplyPrivate& reply) {
        const size_t admitted = reply.admit(size * count);
        reply.content.append(data, admitted);
        return admitted;
    });
}

size_t NetworkReplyPrivate::fileSink(char* data, size_t size, size_t count, void* userdata)
{
    return sink(userdata, [&](NetworkReplyPrivate& reply) { return reply.writeFile(data, size * count); });
}

size_t NetworkReplyPrivate::chunkSink(char* data, size_t size, size_t count, void* userdata)
{
    return sink(userdata, [&](NetworkReplyPrivate& reply) -> size_t {
        reply.slideTimeLimit();
        const size_t admitted = reply.admit(size * count);
        if (admitted > 0 && !reply.chunks(data, admitted)) {
            reply.stoppedByCaller = true;
            return 0;
        }
        return admitted;
    });
}

// How many of length more body bytes the bound lets in. Fewer than length
// (libcurl then fails the transfer) marks the transfer as over its bound.
size_t NetworkReplyPrivate::admit(size_t length)
{
    if (maxBody == 0)
        return length;
    const std::uint64_t room = maxBody - kept;
    if (length > room) {
        overBound = true;
        length = static_cast<size_t>(room);
    }
    kept += length;
    return length;
}

// Slides the overall limit forward with every write, so a transfer that
// keeps receiving is never cut off, while one that stalls for about
// timeout + 1 s ends with CURLE_OPERATION_TIMEDOUT. The limit counts whole
// seconds: libcurl hears of it only when it moves.
void NetworkReplyPrivate::slideTimeLimit()
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - startTime);
    const std::int64_t limit = elapsed.count() + 1 + timeout;
    if (limit != timeLimit || !limitInstalled) {
        timeLimit = limit;
        limitInstalled = true;
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limitMilliseconds(limit));
    }
}

size_t NetworkReplyPrivate::writeFile(const char* data, size_t length)
{
    slideTimeLimit();
    decideResume();
    if (rangeRefused)
        return 0;
    if (resumption == Resumption::keepFile)
        return length;
    const size_t admitted = admit(length);
    return file->append(data, admitted) ? admitted : 0;
}

// A resumed download asked for the bytes past the file's end. 206 from there
// on: they are appended. 200: the whole body comes, and replaces the file.
// 416 is the answer for a file that is complete already, when the server
// names that size. Any other answer leaves the file as it was.
void NetworkReplyPrivate::decideResume()
{
    if (resumeOffset == 0 || resumption != Resumption::undecided)
        return;
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    if (code == 0)
        return;
    curl_header* range = nullptr;
    const std::string contentRange = curl_easy_header(handle, "Content-Range", 0, CURLH_HEADER, -1, &range) == CURLHE_OK
                                         ? range->value
                                         : "";
    const std::string from = "bytes " + std::to_string(resumeOffset) + "-";
    if (code == 206) {
        resumption = Resumption::append;
        rangeRefused = contentRange.compare(0, from.size(), from) != 0;
    } else if (code == 200) {
        resumption = Resumption::restart;
        writeFailed = !file->truncate() || writeFailed;
    } else {
        resumption = Resumption::keepFile;
        rangeRefused = code == 416 && contentRange != "bytes */" + std::to_string(resumeOffset);
    }
}

void NetworkReplyPrivate::closeFile()
{
    if (file && !file->close())
        writeFailed = true;
}

int NetworkReplyPrivate::progressSink(void* userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t)
{
    auto* reply = static_cast<NetworkReplyPrivate*>(userdata);
    if (reply == nullptr)
        return 0;
    try {
        // Everything announced has arrived: the held tail is written, so the
        // file is whole when progress says so. It stays open until finish()
        // closes it, before the completion callback runs.
        if (dltotal > 0 && dlnow >= dltotal && !reply->file->flush())
            reply->writeFailed = true;
        // A resumed download counts the bytes it had too.
        reply->decideResume();
        const std::uint64_t before = reply->resumption == Resumption::append ? reply->resumeOffset : 0;
        if (reply->progress && dltotal != 0)
            reply->progress(before + static_cast<std::uint64_t>(dlnow), before + static_cast<std::uint64_t>(dltotal));
    } catch (...) {
    }
    return 0;
}

int NetworkReplyPrivate::uploadSink(void* userdata, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow)
{
    auto* reply = static_cast<NetworkReplyPrivate*>(userdata);
    try {
        if (reply != nullptr && reply->uploadProgress && ultotal != 0)
            reply->uploadProgress(static_cast<unsigned long long>(ulnow), static_cast<unsigned long long>(ultotal));
    } catch (...) {
    }
    return 0;
}

namespace {

// text with the value of every header line that carries credentials replaced.
std::string redacted(const std::string& text)
{
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (headerLineNamed(line, {"authorization", "proxy-authorization", "cookie"}))
            line = line.substr(0, line.find(':')) + ": [redacted]" + (line.back() == '\r' ? "\r" : "");
        out += line;
        if (end < text.size())
            out += '\n';
        start = end + 1;
    }
    return out;
}

} // namespace

int NetworkReplyPrivate::traceSink(CURL*, curl_infotype type, char* data, size_t size, void* userdata)
{
    auto* reply = static_cast<NetworkReplyPrivate*>(userdata);
    if (reply == nullptr || !reply->tracer.callback)
        return 0;
    const TraceKind kinds[] = {TraceKind::text,    TraceKind::headerIn, TraceKind::headerOut, TraceKind::dataIn,
                               TraceKind::dataOut, TraceKind::tlsIn,    TraceKind::tlsOut};
    if (type < CURLINFO_TEXT || type > CURLINFO_SSL_DATA_OUT)
        return 0;
    const TraceKind kind = kinds[type];
    const bool body = type >= CURLINFO_DATA_IN;
    if (body && !reply->tracer.bodies)
        return 0;
    try {
        const std::string text(data, size);
        reply->tracer.callback(kind, body ? text : redacted(text));
    } catch (...) {
    }
    return 0;
}

} // namespace tandrel::privacy
