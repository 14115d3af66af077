#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h> // FICLONE
#endif
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

const QString elevationTool = QStringLiteral("pkexec");

// pkexec's own codes for a dismissed prompt and a refused authorisation.
constexpr int pkexecDismissed = 126;
constexpr int pkexecNotAuthorized = 127;

QString readLink(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t length = ::readlink(encoded.constData(), buffer.data(), buffer.size());
    if (length <= 0 || length >= buffer.size())
        return {};
    return QFile::decodeName(buffer.left(length));
}

QString imageNameFallback(const QString &procDir)
{
    QFile cmdline(procDir + QStringLiteral("/cmdline"));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QByteArray first = cmdline.readAll().split('\0').value(0);
        if (!first.isEmpty())
            return QFileInfo(QFile::decodeName(first)).fileName();
    }
    QFile comm(procDir + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly))
        return QString::fromUtf8(comm.readAll().trimmed());
    return {};
}

// The real user id from the "Uid:" line of /proc/<pid>/status.
qint64 realUserOf(const QString &procDir)
{
    QFile status(procDir + QStringLiteral("/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("Uid:")) {
            bool ok = false;
            const qint64 uid = line.mid(4).simplified().split(' ').value(0).toLongLong(&ok);
            return ok ? uid : -1;
        }
    }
    return -1;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

Status fileFailure(const QString &what, const QString &path, int error)
{
    return Status::fail(
        error == ENOSPC || error == EDQUOT ? Failure::Kind::NoSpace : Failure::Kind::FileSystem,
        QStringLiteral("%1 %2: %3").arg(what, QDir::toNativeSeparators(path), systemError(error)));
}

bool writeAll(int fd, const char *data, ssize_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(length));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

// Across file systems: a private copy beside `to`, whole and on the disk
// before the one rename that makes it `to`.
Status copyReplacing(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return fileFailure(QStringLiteral("Cannot read"), from, errno);
    const auto closeIn = qScopeGuard([in] { ::close(in); });
    struct stat status = {};
    if (::fstat(in, &status) != 0)
        return fileFailure(QStringLiteral("Cannot read"), from, errno);
    if (!S_ISREG(status.st_mode))
        return Status::fail(Failure::Kind::Refused,
                            QStringLiteral("%1 is not a plain file").arg(from));

    const QFileInfo target(to);
    QByteArray temporary =
        QFile::encodeName(target.path() + QStringLiteral("/.") + target.fileName()) + ".XXXXXX";
    const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0)
        return fileFailure(QStringLiteral("Cannot write in"), target.path(), errno);
    bool placed = false;
    const auto cleanUp = qScopeGuard([&] {
        if (!placed)
            ::unlink(temporary.constData());
    });

    constexpr ssize_t chunkBytes = 1024 * 1024;
    const std::unique_ptr<char[]> buffer(new char[chunkBytes]);
    for (;;) {
        const ssize_t length = ::read(in, buffer.get(), chunkBytes);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0) {
            const int error = errno;
            ::close(out);
            return fileFailure(QStringLiteral("Cannot read"), from, error);
        }
        if (length == 0)
            break;
        if (!writeAll(out, buffer.get(), length)) {
            const int error = errno;
            ::close(out);
            return fileFailure(QStringLiteral("Cannot write"), to, error);
        }
    }
    // An elevated mover keeps the files the player's; the owner change comes
    // first because it clears mode bits.
    if (::geteuid() == 0 && (::fchown(out, status.st_uid, status.st_gid) != 0))
        qWarning().noquote() << "Cannot keep the owner of" << to;
    const timespec times[2] = {status.st_atim, status.st_mtim};
    ::futimens(out, times);
    if (::fchmod(out, status.st_mode & 0777) != 0 || ::fsync(out) != 0) {
        const int error = errno;
        ::close(out);
        return fileFailure(QStringLiteral("Cannot write"), to, error);
    }
    if (::close(out) != 0)
        return fileFailure(QStringLiteral("Cannot write"), to, errno);
    if (::rename(temporary.constData(), QFile::encodeName(to).constData()) != 0)
        return fileFailure(QStringLiteral("Cannot replace"), to, errno);
    placed = true;
    if (::unlink(source.constData()) != 0)
        return fileFailure(QStringLiteral("Copied, but cannot remove"), from, errno);
    return {};
}

bool isGoneOrZombie(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) == "Z";
}

} // namespace

Os hostOs()
{
    return Os::Other;
}

void applyBuildVersion()
{
    QCoreApplication::setApplicationVersion(QStringLiteral(LAUNCHER_FILE_VERSION));
}

ElevatedRun runElevated(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    // Forwarded output cannot fill a pipe nobody reads.
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(elevationTool, QStringList{program} + arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        return {ElevatedRun::Outcome::Declined, -1};
    if (!process.waitForFinished(timeoutMs)) {
        if (process.state() == QProcess::NotRunning)
            return {ElevatedRun::Outcome::WaitFailed, -1};
        process.kill();
        process.waitForFinished(5000);
        return {ElevatedRun::Outcome::TimedOut, 1};
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return {ElevatedRun::Outcome::Finished, -1};
    const int code = process.exitCode();
    if (code == pkexecDismissed || code == pkexecNotAuthorized)
        return {ElevatedRun::Outcome::Declined, code};
    return {ElevatedRun::Outcome::Finished, code};
}

bool startElevatedDetached(const QString &program, const QStringList &arguments,
                           const QString &workingDirectory)
{
    // pkexec clears the environment, and a detached program started this way
    // shows a window: hand it the display through env.
    QStringList command{QStringLiteral("/usr/bin/env")};
    for (const char *name : {"DISPLAY", "XAUTHORITY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            command << QString::fromLatin1(name) + QLatin1Char('=') + qEnvironmentVariable(name);
    }
    if (qEnvironmentVariableIsEmpty("XAUTHORITY") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
        const QString cookie = QDir::homePath() + QStringLiteral("/.Xauthority");
        if (QFileInfo::exists(cookie))
            command << QStringLiteral("XAUTHORITY=") + cookie;
    }
    return QProcess::startDetached(elevationTool, command + QStringList{program} + arguments,
                                   workingDirectory);
}

QList<ProcessInfo> runningProcesses()
{
    QList<ProcessInfo> list;
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString dir = it.next();
        bool numeric = false;
        const qint64 pid = it.fileName().toLongLong(&numeric);
        if (!numeric)
            continue;
        ProcessInfo info;
        info.pid = pid;
        QString image = readLink(dir + QStringLiteral("/exe"));
        // A replaced or removed executable still names the folder it ran from.
        const QLatin1String deleted(" (deleted)");
        if (image.endsWith(deleted))
            image.chop(deleted.size());
        if (!image.isEmpty()) {
            info.imagePath = QDir::toNativeSeparators(image);
            info.imageName = QFileInfo(image).fileName();
        } else {
            info.imageName = imageNameFallback(dir);
        }
        info.owner = realUserOf(dir);
        if (!info.imageName.isEmpty())
            list << info;
    }
    return list;
}

qint64 invokingOwner()
{
    if (::geteuid() == 0) {
        for (const char *name : {"PKEXEC_UID", "SUDO_UID"}) {
            bool ok = false;
            const qint64 uid = qEnvironmentVariable(name).toLongLong(&ok);
            if (ok && uid >= 0)
                return uid;
        }
    }
    return ::getuid();
}

bool terminateProcess(qint64 pid)
{
    // A pidfd pins the process, so neither the signal nor the wait can reach a
    // newer process that reused the number.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (pidfd < 0) {
        if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0)
            return false;
        for (int i = 0; i < 500 && !isGoneOrZombie(pid); ++i)
            ::usleep(10000);
        return true;
    }
    const bool sent = ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
    if (sent) {
        pollfd waiter{pidfd, POLLIN, 0};
        while (::poll(&waiter, 1, 5000) < 0 && errno == EINTR) {
        }
    }
    ::close(pidfd);
    return sent;
}

QString roamingAppDataPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

bool replaceFile(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

Status moveReplacing(const QString &from, const QString &to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return {};
    if (errno != EXDEV)
        return fileFailure(QStringLiteral("Cannot move %1 to").arg(QDir::toNativeSeparators(from)),
                           to, errno);
    return copyReplacing(from, to);
}

bool linkOrCopy(const QString &from, const QString &to)
{
    return ::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0 ||
           QFile::copy(from, to);
}

bool cloneFile(QFileDevice &from, QFileDevice &to)
{
#if defined(FICLONE)
    return from.handle() >= 0 && to.handle() >= 0 &&
           ::ioctl(to.handle(), FICLONE, from.handle()) == 0;
#else
    Q_UNUSED(from);
    Q_UNUSED(to);
    return false;
#endif
}

bool flushToDisk(QFileDevice &file)
{
    return file.flush() && file.handle() >= 0 && ::fsync(file.handle()) == 0;
}

FolderCheck ensurePrivateFolder(const QString &path)
{
    FolderCheck check;
    const QString parent = QFileInfo(path).path();
    if (!QDir().mkpath(parent)) {
        check.error = QStringLiteral("cannot create %1").arg(parent);
        return check;
    }
    const QByteArray encoded = QFile::encodeName(path);
    if (::mkdir(encoded.constData(), 0700) != 0 && errno != EEXIST) {
        check.error = QStringLiteral("cannot create %1").arg(path);
        return check;
    }
    // lstat, not stat: a link is refused, never followed.
    struct stat status = {};
    if (::lstat(encoded.constData(), &status) != 0) {
        check.error = QStringLiteral("cannot read %1").arg(path);
        return check;
    }
    if (S_ISLNK(status.st_mode) || !S_ISDIR(status.st_mode)) {
        check.error = QStringLiteral("%1 is not a folder of its own").arg(path);
        return check;
    }
    if (status.st_uid != ::geteuid()) {
        check.error = QStringLiteral("%1 belongs to another user").arg(path);
        return check;
    }
    if ((status.st_mode & 07777) != 0700 && ::chmod(encoded.constData(), 0700) != 0) {
        check.error = QStringLiteral("cannot make %1 private").arg(path);
        return check;
    }
    check.ok = true;
    return check;
}

} // namespace platform
