#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalSocket;

// One launcher window per user and product. The first start holds a lock in a
// per-user folder and listens on a local socket beside it; a later start finds
// the lock taken, asks the first to come to the front and ends. A lock left by
// a killed process is recognised and taken over.
class SingleInstance final : public QObject
{
    Q_OBJECT

public:
    // `folder`: private to the user; `name`: the product.
    SingleInstance(const QString &folder, const QString &name);
    ~SingleInstance() override;

    // True when this process is the one; false after asking the running one
    // to show itself.
    bool claim();

    // The user's private folder for the locks of this build's company, the same
    // whatever the session's environment says about runtime folders.
    static QString defaultFolder();

signals:
    void raiseRequested();

private:
    void readRequest(QLocalSocket *socket);

    QString socketPath;
    QLockFile lock;
    std::unique_ptr<QLocalServer> server;
};
