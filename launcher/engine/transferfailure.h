#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <curl/curl.h>

// The player's texts for a transfer that failed, the same as Qt's network
// replies give for the same situation, so the engine says what it always said.

// An answer of status 400 or above; `reason` is the status line's text (none over HTTP/2).
QString httpFailureText(int status, const QByteArray &reason, const QUrl &url);

// A transfer libcurl ended with `code`; `detail` is its error buffer.
Failure curlFailure(CURLcode code, CURL *easy, const char *detail, const QString &stalledMessage);

// Where the transfer ended up, redirects followed.
QUrl effectiveUrl(CURL *easy);
