#include "network/privacy/NetworkReplyPrivate.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

namespace tandrel::privacy {

namespace {

// The unit of the download's file writes: a multiple of the page size, so
// that every write starts at a page boundary, and large enough that the
// writes cost less than copying the chunks together (libcurl hands over at
// most 16 KiB at a time). Measured against 4 KiB and 128 or 256 KiB blocks,
// 64 KiB cut the CPU of a large download the most.
constexpr size_t fileBlock = size_t{64} * 1024;

} // namespace

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
                                         std::string path, int timeout, std::shared_ptr<NetworkManager> manager)
    : handle(easyHandle)
    , done(std::move(done))
    , progress(std::move(progress))
    , path(std::move(path))
    , owner(std::move(manager))
    , timeout(timeout)
    , startTime(std::chrono::steady_clock::now())
{
    // Unbuffered: writeBlocks decides what reaches the file when.
    file.rdbuf()->pubsetbuf(nullptr, 0);
    // The file holds exactly this transfer's bytes; a failure to create it
    // shows at the first write.
    std::ofstream(this->path, std::ios_base::out | std::ios_base::trunc | std::ios_base::binary);
}

NetworkReplyPrivate::~NetworkReplyPrivate()
{
    closeFile();
    releaseHandle();
}

void NetworkReplyPrivate::adoptHeaderList(curl_slist* list)
{
    curl_slist_free_all(headerList);
    headerList = list;
}

void NetworkReplyPrivate::finish()
{
    // The download is over: its file is complete and closed before anyone is told.
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
    curl_slist_free_all(headerList);
    headerList = nullptr;
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
    if (result == CURLE_OK && heldLost)
        return CURLE_WRITE_ERROR;
    return overBound && result == CURLE_WRITE_ERROR ? CURLE_FILESIZE_EXCEEDED : result;
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

size_t NetworkReplyPrivate::writeFile(const char* data, size_t length)
{
    // Slide the overall limit forward with every write, so a download that
    // keeps receiving is never cut off, while one that stalls for about
    // timeout + 1 s ends with CURLE_OPERATION_TIMEDOUT. The limit counts
    // whole seconds: libcurl hears of it only when it moves.
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - startTime);
    const std::int64_t limit = elapsed.count() + 1 + timeout;
    if (limit != timeLimit || !limitInstalled) {
        timeLimit = limit;
        limitInstalled = true;
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, limitMilliseconds(limit));
    }

    // Open from the first write to the end of the transfer (see progressSink);
    // reopened for appending only if bytes come after it was closed.
    const size_t admitted = admit(length);
    if (!file.is_open())
        file.open(path, std::ios_base::out | std::ios_base::app | std::ios_base::binary);
    return file.is_open() && writeBlocks(data, admitted) ? admitted : 0;
}

// Every write starts at a multiple of fileBlock in the file: a write that
// ends inside a page the file has not reached yet makes the kernel zero the
// rest of that page, and the next write fills it again. So the last partial
// block of a chunk is held (never more than one block) and written with the
// next chunks, or when the file is closed: at the end of the transfer,
// before anyone is told, and when it is aborted or dropped, so the file
// always ends up with every byte received. Any other sink that writes a file
// does the same.
bool NetworkReplyPrivate::writeBlocks(const char* data, size_t length)
{
    if (!held.empty()) {
        const size_t fill = std::min(length, fileBlock - held.size());
        held.append(data, fill);
        data += fill;
        length -= fill;
        if (held.size() < fileBlock)
            return true;
        if (!put(held.data(), held.size()))
            return false;
        held.clear();
    }
    const size_t whole = length - length % fileBlock;
    if (whole > 0 && !put(data, whole))
        return false;
    held.assign(data + whole, length - whole);
    return true;
}

bool NetworkReplyPrivate::put(const char* data, size_t length)
{
    file.write(data, static_cast<std::streamsize>(length));
    return !file.fail();
}

void NetworkReplyPrivate::closeFile()
{
    if (!held.empty() && !(file.is_open() && put(held.data(), held.size())))
        heldLost = true;
    held.clear();
    if (file.is_open())
        file.close();
}

int NetworkReplyPrivate::progressSink(void* userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t)
{
    auto* reply = static_cast<NetworkReplyPrivate*>(userdata);
    if (reply == nullptr)
        return 0;
    try {
        // Everything announced has arrived: write the held tail and close
        // the file. Without an announced length (0) it stays open, rather
        // than being closed and reopened around every write, until finish()
        // closes it before the completion callback runs.
        if (dltotal > 0 && dlnow >= dltotal)
            reply->closeFile();
        if (reply->progress && dltotal != 0)
            reply->progress(static_cast<unsigned long long>(dlnow), static_cast<unsigned long long>(dltotal));
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

} // namespace tandrel::privacy
