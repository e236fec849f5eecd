#pragma once

#include "network/Callbacks.h"
#include "network/NetworkTrace.h"
#include "network/privacy/BlockFile.h"
#include "network/privacy/RedirectFollower.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tandrel {

class NetworkManager;

namespace privacy {

// The state of one transfer: its libcurl handle (owned until finish), the
// callbacks, and what libcurl delivered. The sinks run on the worker thread.
class NetworkReplyPrivate : public std::enable_shared_from_this<NetworkReplyPrivate>
{
public:
    // In-memory form, for get and post.
    NetworkReplyPrivate(CURL* easyHandle, CompletionCallback done, int timeout,
                        std::shared_ptr<NetworkManager> manager);
    // Download form: opens target at once, creating or truncating a file
    // given by path. One that resumes keeps it, asks for what lies past its
    // end (see resumedFrom) and decides by the answer (see decideResume).
    NetworkReplyPrivate(CURL* easyHandle, CompletionCallback done, ProgressCallback progress,
                        std::unique_ptr<BlockFile> target, int timeout, std::shared_ptr<NetworkManager> manager,
                        bool resume = false);
    virtual ~NetworkReplyPrivate();
    NetworkReplyPrivate(const NetworkReplyPrivate&) = delete;
    NetworkReplyPrivate& operator=(const NetworkReplyPrivate&) = delete;

    CURL* easyHandle() const { return handle; }
    const std::shared_ptr<NetworkManager>& manager() const { return owner; }
    const CompletionCallback& completionCallback() const { return done; }
    // The transfer's time limit in seconds, as the set-up gave it.
    int timeoutSeconds() const { return timeout; }
    // When the time limit runs out: the set-up's limit from the start, or
    // the one a write last slid forward (see slideTimeLimit).
    std::chrono::steady_clock::time_point deadline() const
    {
        return startTime + std::chrono::seconds(limitInstalled ? timeLimit : timeout);
    }

    // The request's header lines, which the handle points at: kept until
    // the handle goes (the request and its other replies may share them).
    void adoptHeaderList(std::shared_ptr<curl_slist> list) { headerList = std::move(list); }

    // The size of the file a resumed download continues; 0: none to continue.
    std::uint64_t resumedFrom() const { return resumeOffset; }
    // Hands the body to chunk piece by piece instead of keeping it.
    void setChunkCallback(const ChunkCallback& chunk) { chunks = chunk; }
    // Called with (bytes sent, total) while the request body goes out.
    void setUploadProgress(const ProgressCallback& callback) { uploadProgress = callback; }
    // Has the client follow the transfer's redirects, not libcurl.
    void setRedirectFollower(std::unique_ptr<RedirectFollower> follower) { redirects = std::move(follower); }
    // On the worker, once libcurl completed the transfer with result: whether
    // the handle was set up for the request a redirect asks for (the body
    // kept so far is dropped), to be attached again. If not, result is the
    // transfer's outcome (see RedirectFollower::next).
    bool followRedirect(CURLcode& result);
    // Shows the transfer to trace.callback (see traceSink).
    void setTrace(NetworkTrace trace) { tracer = std::move(trace); }
    // The most body bytes to keep (0: no bound); see NetworkLimits.
    void setMaxBodySize(std::uint64_t bytes) { maxBody = bytes; }
    // The transfer's outcome, given libcurl's: a body cut at its bound ends
    // with CURLE_FILESIZE_EXCEEDED, a stream its chunk callback stopped with
    // CURLE_ABORTED_BY_CALLBACK, rather than the write error libcurl saw; a
    // download whose file could not be opened or whose last bytes could not
    // be written, with CURLE_WRITE_ERROR;
    // a resumption the server did not answer with the rest of the file, with
    // CURLE_RANGE_ERROR.
    CURLcode outcome(CURLcode result) const;

    // A time limit in seconds in libcurl's milliseconds, the longest a long
    // holds if it is longer.
    static long limitMilliseconds(std::int64_t seconds);

    void setPostData(const std::string& data) { post = data; }
    std::string& postData() { return post; }

    // Closes the download's file; then reads status, effective URL and
    // total time and frees the handle, unless the handle is gone already.
    void finish();
    // Forgets the completion callback without calling it: the transfer was
    // aborted or dropped. A blocking caller waiting on it then returns.
    void cancel();
    // Closes the download's file and frees the handle without reading
    // anything from it (a dropped transfer).
    void discard();

    int statusCode() const { return status; }
    std::string headerText() const { return headerBytes; }
    std::vector<std::pair<std::string, std::string>> headers() const { return finalHeaders; }
    std::string header(const std::string& name) const;
    std::string body() const { return content; }
    std::string url() const { return effectiveUrl; }
    std::string filePath() const { return file ? file->path() : std::string(); }
    std::int64_t totalTime() const { return totalMicroseconds; }
    std::string toString() const;

    // libcurl callbacks; userdata is the NetworkReplyPrivate.
    static size_t headerSink(char* data, size_t size, size_t count, void* userdata);
    static size_t bodySink(char* data, size_t size, size_t count, void* userdata);
    static size_t fileSink(char* data, size_t size, size_t count, void* userdata);
    static size_t chunkSink(char* data, size_t size, size_t count, void* userdata);
    static int progressSink(void* userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);
    static int uploadSink(void* userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);
    // libcurl's debug function: hands what it shows to the trace, header
    // values that hold credentials replaced, bodies only if asked.
    static int traceSink(CURL* handle, curl_infotype type, char* data, size_t size, void* userdata);

private:
    // What a resumed download does with the answer to its range.
    enum class Resumption { undecided, append, restart, keepFile };

    size_t admit(size_t length);
    void slideTimeLimit();
    size_t writeFile(const char* data, size_t length);
    void decideResume();
    void closeFile();
    void releaseHandle();

    CURL* handle;
    std::shared_ptr<curl_slist> headerList;
    std::unique_ptr<RedirectFollower> redirects;
    CompletionCallback done;
    ProgressCallback progress;
    ProgressCallback uploadProgress;
    ChunkCallback chunks;
    NetworkTrace tracer;
    std::string content;
    std::string headerBytes;
    std::vector<std::pair<std::string, std::string>> finalHeaders;
    std::string post;
    std::unique_ptr<BlockFile> file;
    // The file could not be opened, or bytes held for it not be written
    // when it was flushed or closed: the transfer fails.
    bool writeFailed = false;
    std::uint64_t resumeOffset = 0;
    Resumption resumption = Resumption::undecided;
    bool rangeRefused = false;
    bool stoppedByCaller = false;
    std::shared_ptr<NetworkManager> owner;
    int timeout;
    // The overall limit in seconds that fileSink last handed to libcurl; until
    // the first write (limitInstalled false) the set-up's limit applies.
    std::int64_t timeLimit = 0;
    bool limitInstalled = false;
    std::uint64_t maxBody = 0;
    // Body bytes kept so far, counted only under a bound.
    std::uint64_t kept = 0;
    bool overBound = false;
    int status = 0;
    std::string effectiveUrl;
    std::int64_t totalMicroseconds = 0;
    std::chrono::steady_clock::time_point startTime;
};

} // namespace privacy
} // namespace tandrel
