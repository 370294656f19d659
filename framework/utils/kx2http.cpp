#include "kx2http.h"

#include "kx2threadgroup.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cstdio>
#include <memory>
#include <mutex>

#include <curl/curl.h>

namespace {

const char kUserAgentHeader[] =
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko";
const char kJsonContentHeader[] = "Content-Type:application/json";
const char kAllowedProtocols[] = "http,https";

struct EasyCleanup
{
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListCleanup
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FileClose
{
    void operator()(FILE* file) const { std::fclose(file); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;
using FileHandle = std::unique_ptr<FILE, FileClose>;

// curl_global_init is not thread-safe and must precede every other call;
// running it once here, before the first handle, keeps both promises.
void initCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The threads of the background transfers, joined when the process exits
// normally (static destruction). libcurl's set-up runs first: the TLS
// library registers its clean-up with atexit() there, and a static made
// after that registration is destroyed before the clean-up runs, so no
// transfer is left running on a cleaned-up TLS library.
KX2ThreadGroup& backgroundTransfers()
{
    initCurl();
    static KX2ThreadGroup group;
    return group;
}

// The whole-transfer limit of a background transfer asked for `timeout`
// seconds (0: none).
int backgroundTimeout(int timeout)
{
    return timeout > 0 && timeout < kKX2HttpBackgroundSeconds ? timeout
                                                              : kKX2HttpBackgroundSeconds;
}

EasyHandle newHandle(const QByteArray& url)
{
    initCurl();
    EasyHandle handle(curl_easy_init());
    if (handle) {
        curl_easy_setopt(handle.get(), CURLOPT_URL, url.constData());
        curl_easy_setopt(handle.get(), CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    }
    return handle;
}

HeaderList oneHeader(const char* line)
{
    return HeaderList(curl_slist_append(nullptr, line));
}

// In-memory replies are documents (descriptions, answers), never bulk data;
// a server that keeps sending is cut off instead of exhausting the memory.
const int kMaxBodyBytes = 16 * 1024 * 1024;
// Seconds without a single byte after which a download counts as failed.
const long kStalledSeconds = 60;

size_t appendToBytes(char* data, size_t size, size_t count, void* target)
{
    auto* bytes = static_cast<QByteArray*>(target);
    const size_t length = size * count;
    if (length > size_t(kMaxBodyBytes - bytes->size()))
        return 0; // a write error: the transfer fails
    bytes->append(data, int(length));
    return length;
}

// Drops a header block that a server or proxy left in front of the body.
// Only bytes that begin like a status line count as one: a body that
// itself contains an empty line stays whole.
QByteArray withoutHeaderBlock(const QByteArray& bytes)
{
    if (!bytes.startsWith("HTTP/"))
        return bytes;
    const int end = bytes.indexOf("\r\n\r\n");
    return end < 0 ? bytes : bytes.mid(end + 4);
}

bool parseObject(const QByteArray& bytes, QJsonObject& object)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    object = document.object();
    return true;
}

struct DownloadContext
{
    FILE* file = nullptr;
    const KX2DownloadCallback* callback = nullptr; // may be null
    bool aborted = false;
};

// A short write (full disk) or a false callback reports fewer bytes than
// delivered, which makes libcurl end the transfer with a write error.
size_t writeToFile(char* data, size_t size, size_t count, void* target)
{
    auto* context = static_cast<DownloadContext*>(target);
    const size_t written = std::fwrite(data, 1, size * count, context->file);
    if (context->callback && !(*context->callback)(static_cast<unsigned long>(written))) {
        context->aborted = true;
        return 0;
    }
    return written;
}

// Called by libcurl about once a second even while no byte arrives, so a
// stop is seen during a stalled transfer too.
int checkStillWanted(void* target, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* context = static_cast<DownloadContext*>(target);
    if (context->callback && !(*context->callback)(0UL)) {
        context->aborted = true;
        return 1; // ends the transfer
    }
    return 0;
}

bool download(const QString& filePath, const QString& url, const KX2DownloadCallback* callback,
              int timeout)
{
    // "e": the descriptor is not inherited by programs started meanwhile.
    FileHandle file(std::fopen(QFile::encodeName(filePath).constData(), "wbe"));
    if (!file)
        return false;
    EasyHandle handle = newHandle(url.toUtf8());
    HeaderList headers = oneHeader(kUserAgentHeader);
    if (!handle || !headers)
        return false;

    DownloadContext context;
    context.file = file.get();
    context.callback = callback;
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_TIMEOUT, long(timeout));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, long(timeout));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_HEADER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeToFile);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &context);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, checkStillWanted);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &context);
    // A mirror that goes silent fails the transfer instead of holding it
    // until the whole-transfer timeout.
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStalledSeconds);
    const CURLcode result = curl_easy_perform(h);
    handle.reset();
    // A failing close (buffered bytes that no longer fit) is a failed
    // download too.
    const bool closed = std::fclose(file.release()) == 0;
    return result == CURLE_OK && !context.aborted && closed;
}

} // namespace

bool curlHttpGet(QByteArray& body, const QString& url, int timeout)
{
    EasyHandle handle = newHandle(url.toUtf8());
    if (!handle)
        return false;
    QByteArray received;
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_TIMEOUT, long(timeout));
    curl_easy_setopt(h, CURLOPT_POST, 0L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToBytes);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);
    if (curl_easy_perform(h) != CURLE_OK)
        return false;
    body = withoutHeaderBlock(received);
    return true;
}

bool curlHttpGet(QJsonObject& object, const QString& url, int timeout)
{
    QByteArray body;
    return curlHttpGet(body, url, timeout) && parseObject(body, object);
}

void curlHttpGet(const QString& url, int timeout)
{
    const int limit = backgroundTimeout(timeout);
    backgroundTransfers().start([url, limit] {
        QByteArray discarded;
        curlHttpGet(discarded, url, limit);
    });
}

namespace {

// `timeout`: seconds for the whole transfer; 0: no limit.
bool post(QJsonObject& reply, const QString& url, const QJsonObject& data, QByteArray* raw,
          long timeout)
{
    EasyHandle handle = newHandle(url.toUtf8());
    HeaderList headers = oneHeader(kJsonContentHeader);
    if (!handle || !headers)
        return false;
    const QByteArray payload = QJsonDocument(data).toJson(QJsonDocument::Compact);
    QByteArray received;
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_TIMEOUT, timeout);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, long(payload.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, payload.constData());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToBytes);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);
    if (curl_easy_perform(h) != CURLE_OK)
        return false;
    const QByteArray body = withoutHeaderBlock(received);
    if (raw)
        *raw = body;
    return parseObject(body, reply);
}

} // namespace

bool curlHttpPost(QJsonObject& reply, const QString& url, const QJsonObject& data, QByteArray* raw)
{
    return post(reply, url, data, raw, 0);
}

void curlHttpPost(const QString& url, const QJsonObject& data)
{
    backgroundTransfers().start([url, data] {
        QJsonObject discarded;
        post(discarded, url, data, nullptr, kKX2HttpBackgroundSeconds);
    });
}

bool curlHttpDownload(const QString& filePath, const QString& url, int timeout)
{
    return download(filePath, url, nullptr, timeout);
}

bool curlHttpDownloading(const QString& filePath, const QString& url,
                         const KX2DownloadCallback& callback, int timeout)
{
    return download(filePath, url, &callback, timeout);
}

// --- Checked transfers --------------------------------------------------------

namespace {

struct CheckedContext
{
    FILE* file = nullptr; // or, when null, into `body`
    QByteArray* body = nullptr;
    qint64 maxBytes = 0;
    qint64 received = 0;
    const KX2DownloadCallback* callback = nullptr; // may be null
    bool stopped = false;
    bool tooLarge = false;
    bool writeFailed = false;
};

size_t writeChecked(char* data, size_t size, size_t count, void* target)
{
    auto* context = static_cast<CheckedContext*>(target);
    const size_t length = size * count;
    if (qint64(length) > context->maxBytes - context->received) {
        context->tooLarge = true;
        return 0;
    }
    if (context->file) {
        if (std::fwrite(data, 1, length, context->file) != length) {
            context->writeFailed = true;
            return 0;
        }
    } else {
        context->body->append(data, int(length));
    }
    context->received += qint64(length);
    if (context->callback && !(*context->callback)(static_cast<unsigned long>(length))) {
        context->stopped = true;
        return 0;
    }
    return length;
}

int checkedProgress(void* target, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* context = static_cast<CheckedContext*>(target);
    if (context->callback && !(*context->callback)(0UL)) {
        context->stopped = true;
        return 1;
    }
    return 0;
}

KX2HttpResult failure(KX2HttpResult::Kind kind, const QString& reason)
{
    KX2HttpResult result;
    result.kind = kind;
    result.reason = reason;
    return result;
}

// The verdict on a transfer libcurl has finished with `code`.
KX2HttpResult verdict(CURL* h, CURLcode code, const CheckedContext& context)
{
    KX2HttpResult result;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    if (context.stopped)
        return failure(KX2HttpResult::Stopped, QStringLiteral("stopped"));
    if (context.tooLarge)
        return failure(KX2HttpResult::Failed, QStringLiteral("more bytes than expected"));
    if (context.writeFailed)
        return failure(KX2HttpResult::Failed, QStringLiteral("cannot write the file"));
    if (code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT
        || (code == CURLE_OPERATION_TIMEDOUT && result.status == 0)) {
        return failure(KX2HttpResult::Unreachable, QString::fromUtf8(curl_easy_strerror(code)));
    }
    if (code != CURLE_OK)
        return failure(KX2HttpResult::Failed, QString::fromUtf8(curl_easy_strerror(code)));
    if (result.status < 200 || result.status > 299) {
        const long status = result.status;
        result = failure(KX2HttpResult::HttpError, QStringLiteral("HTTP %1").arg(status));
        result.status = status;
        return result;
    }
    result.kind = KX2HttpResult::Ok;
    return result;
}

} // namespace

KX2HttpResult kx2HttpTransfer(const KX2HttpTransfer& transfer)
{
    FileHandle file;
    if (!transfer.filePath.isEmpty()) {
        file.reset(std::fopen(QFile::encodeName(transfer.filePath).constData(), "wbe"));
        if (!file)
            return failure(KX2HttpResult::Failed, QStringLiteral("cannot create the file"));
    }
    EasyHandle handle = newHandle(transfer.url.toUtf8());
    HeaderList headers = oneHeader(kUserAgentHeader);
    if (!handle || !headers)
        return failure(KX2HttpResult::Failed, QStringLiteral("out of memory"));

    QByteArray body;
    CheckedContext context;
    context.file = file.get();
    context.body = &body;
    context.maxBytes = transfer.maxBytes;
    context.callback = transfer.callback ? &transfer.callback : nullptr;
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, long(transfer.connectTimeout));
    curl_easy_setopt(h, CURLOPT_TIMEOUT, long(transfer.timeout));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeChecked);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &context);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, checkedProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &context);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, transfer.lowSpeedBytes);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, transfer.lowSpeedSeconds);
    if (!transfer.verifyTls) {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    KX2HttpResult result = verdict(h, curl_easy_perform(h), context);
    handle.reset();
    if (file && std::fclose(file.release()) != 0 && result.ok())
        return failure(KX2HttpResult::Failed, QStringLiteral("cannot write the file"));
    if (result.ok() && transfer.filePath.isEmpty())
        result.body = withoutHeaderBlock(body);
    return result;
}
