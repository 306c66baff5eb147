#include "controls/download.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include "base/files.h"
#include "base/safe_name.h"
#include "base/text_checks.h"

namespace kiv {

namespace fs = std::filesystem;

TFetchResult FetchToFile(const std::string& url, const fs::path& target, std::int64_t max_bytes,
                         const std::atomic<bool>* cancel, int timeout_ms) {
  QUrl address(QString::fromStdString(url), QUrl::StrictMode);
  if (!address.isValid() ||
      (address.scheme() != QLatin1String("http") && address.scheme() != QLatin1String("https")))
    return TFetchResult::kNetworkError;
  ReplacementFile file(target);
  if (!file.ok()) return TFetchResult::kWriteError;

  QNetworkAccessManager network;
  QNetworkRequest request(address);
  request.setTransferTimeout(timeout_ms);
  // The length check compares the bytes received with Content-Length, so the body must arrive as sent.
  request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  QNetworkReply* reply = network.get(request);
  QEventLoop loop;
  TFetchResult result = TFetchResult::kOk;
  std::int64_t received = 0;
  QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
    if (result != TFetchResult::kOk) return;
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
      result = TFetchResult::kHttpStatus;
      reply->abort();
      return;
    }
    QByteArray chunk = reply->readAll();
    received += chunk.size();
    if (received > max_bytes) {
      result = TFetchResult::kTooLarge;
      reply->abort();
      return;
    }
    if (!file.Write(std::string_view(chunk.constData(), static_cast<std::size_t>(chunk.size())))) {
      result = TFetchResult::kWriteError;
      reply->abort();
    }
  });
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QTimer poll;
  if (cancel) {
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (cancel->load() && result == TFetchResult::kOk) {
        result = TFetchResult::kCancelled;
        reply->abort();
      }
    });
    poll.start(50);
  }
  if (!reply->isFinished()) loop.exec();
  poll.stop();

  if (result == TFetchResult::kOk) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (reply->error() != QNetworkReply::NoError && status != 200 && status != 0)
      result = TFetchResult::kHttpStatus;
    else if (reply->error() != QNetworkReply::NoError)
      result = TFetchResult::kNetworkError;
    else if (status != 200)
      result = TFetchResult::kHttpStatus;
    else if (!length.isValid() || length.toLongLong() != received)
      result = TFetchResult::kIncomplete;
  }
  reply->deleteLater();
  if (result == TFetchResult::kOk && !file.Commit()) result = TFetchResult::kWriteError;
  return result;
}

std::string GetFileName(std::string_view url) {
  url = url.substr(0, url.find_first_of("?#"));
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  std::size_t slash = url.rfind('/');
  return std::string(slash == std::string_view::npos ? url : url.substr(slash + 1));
}

fs::path DownloadFile(std::string_view url, std::string_view folder_name, const fs::path& root,
                      std::int64_t max_bytes, const std::atomic<bool>* cancel) {
  while (!url.empty() && url.back() == ' ') url.remove_suffix(1);
  std::string name = GetFileName(url);
  if (folder_name == "download" && !name.empty()) {
    std::size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    if (extension.size() > 6 || !IsBareFileName("x" + extension)) extension.clear();
    name = MD5(url, 1) + extension;
  }
  std::optional<fs::path> folder = PathInFolder(root, folder_name);
  std::optional<fs::path> path = folder ? PathInFolder(*folder, name) : std::nullopt;
  if (!path) return {};
  std::error_code ec;
  if (fs::exists(*path, ec)) return *path;
  fs::create_directory(*folder, ec);
  for (int attempt = 0; attempt < 6; ++attempt) {
    TFetchResult r = FetchToFile(std::string(url), *path, max_bytes, cancel);
    if (r == TFetchResult::kOk || r == TFetchResult::kHttpStatus || r == TFetchResult::kTooLarge ||
        r == TFetchResult::kCancelled || r == TFetchResult::kWriteError)
      break;
  }
  return *path;
}

}  // namespace kiv
