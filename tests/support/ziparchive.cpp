#include "ziparchive.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>
#include <quazip/quazipnewinfo.h>

namespace {

constexpr uint unixHost = 3;
constexpr quint32 linkType = 0120000;

} // namespace

bool writeZip(const QString &path, const QList<ZipEntry> &entries)
{
    QuaZip zip(path);
    zip.setOsCode(unixHost);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const ZipEntry &entry : entries) {
        QuaZipNewInfo info(entry.name);
        info.setPermissions(entry.permissions);
        if (entry.symlink)
            info.externalAttr =
                (info.externalAttr & 0x0FFFFFFFu) | (linkType << 16) | (0777u << 16);
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, info))
            return false;
        file.write(entry.content);
        file.close();
        if (file.getZipError() != 0)
            return false;
    }
    zip.close();
    return zip.getZipError() == 0;
}

QList<ZipEntry> readZip(const QString &path)
{
    QList<ZipEntry> entries;
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip))
        return entries;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        entries << ZipEntry{info.name, file.readAll(), info.getPermissions(),
                            info.isSymbolicLink()};
    }
    return entries;
}
