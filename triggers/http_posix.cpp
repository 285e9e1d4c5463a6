#include "machine.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace triggers::machine {
namespace {

// The body is not looked at: only whether the answer came, and its status.
std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

}  // namespace

std::optional<long> http_status(const std::string& url, Deadline deadline, std::string& why_not) {
    // Once, before the first request: libcurl's start-up is not for two threads at once.
    static const CURLcode started = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (started != CURLE_OK) {
        why_not = curl_easy_strerror(started);
        return std::nullopt;
    }
    const std::unique_ptr<CURL, void (*)(CURL*)> request(curl_easy_init(), curl_easy_cleanup);
    if (!request) {
        why_not = "libcurl could not start a request";
        return std::nullopt;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(request.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(request.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(request.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(1, left)));
    curl_easy_setopt(request.get(), CURLOPT_NOSIGNAL, 1L);  // no SIGALRM in a program of many threads
    curl_easy_setopt(request.get(), CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(request.get(), CURLOPT_ERRORBUFFER, error);
    const CURLcode done = curl_easy_perform(request.get());
    if (done != CURLE_OK) {
        why_not = error[0] != '\0' ? error : curl_easy_strerror(done);
        return std::nullopt;
    }
    long status = 0;
    curl_easy_getinfo(request.get(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

}  // namespace triggers::machine
