#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

// The self-updater's only window: one line of text over a percentage bar.
class UpdaterWindow final : public QWidget
{
    Q_OBJECT

public:
    explicit UpdaterWindow(QWidget *parent = nullptr);

public slots:
    void setProgress(qint64 bytesReceived, qint64 bytesTotal);
    void setError(QString error);
    void setStatus(QString status);

private:
    QProgressBar *progressBar;
    QLabel *statusLabel;
};
