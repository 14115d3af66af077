#pragma once

#include "downloaditem.h"
#include "filesink.h"
#include "partrecord.h"
#include "result.h"

#include <QByteArray>
#include <QString>

#include <curl/curl.h>

#include <optional>

// One file's request on the transfer thread: whether a staged part may be
// continued, the libcurl options of the request, the answer's headers and body
// as they arrive, and whether what ended up staged is the published file.
class Transfer final
{
public:
    // What a transfer tells the run it belongs to, on the same thread.
    class Listener
    {
    public:
        // A status line arrived (of any answer, redirects included).
        virtual void answerStarted() = 0;
        // Bytes of the file are staged: received now, or kept from an earlier run.
        virtual void bytesStaged(qint64 bytes) = 0;

    protected:
        ~Listener() = default;
    };

    // Per run, the same for every request.
    struct Options
    {
        QByteArray userAgent;
        QByteArray caFile; // SSL_CERT_FILE, as for curl
        QByteArray caPath; // SSL_CERT_DIR
    };

    explicit Transfer(Listener &listener);
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // Readies the download of `item` into its staging path. False when no
    // request is needed: the staged file is the published one already.
    Result<bool> prepare(const DownloadItem &item, const QString &recordFolder);
    // Sets `easy` up for the request; the transfer keeps it until release().
    void attach(CURL *easy, CURLSH *share, const Options &options);
    // Closes the file (a part stays on disk) and hands the easy handle back, if any.
    CURL *release();

    enum class End
    {
        Staged,   // the file is whole and its CRC-32 matches
        StartOver // the staged part outgrew the server's file: it is gone, fetch it anew
    };
    // Decides, once libcurl ended the request with `code`, what was staged.
    // A file known to be wrong is removed: it is worth nothing to a later run.
    Result<End> end(CURLcode code, const QString &stalledMessage);

    const DownloadItem &item() const { return file; }
    CURL *handle() const { return easy; }
    bool answered() const { return status > 0; }
    qint64 lastActivityMs() const { return lastActivity; }

    static qint64 nowMs();

private:
    static size_t onHeader(char *buffer, size_t size, size_t count, void *userdata);
    static size_t onBody(char *buffer, size_t size, size_t count, void *userdata);
    Status place();
    QByteArray validator() const;
    void discard();

    Listener &listener;
    DownloadItem file;
    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    FileSink sink;
    std::optional<PartRecord> record;
    QByteArray url;
    qint64 rangeStart = 0; // staged bytes the request asked the rest after
    bool placed = false;   // the answer's status decided where the body goes
    bool recordWritten = false;
    int status = 0;
    QByteArray reason;
    QByteArray etag;
    QByteArray lastModified;
    QByteArray contentRange;
    qint64 lastActivity = 0;
    std::optional<Failure> failure; // why a callback stopped the transfer
    char errorText[CURL_ERROR_SIZE] = {};
};
