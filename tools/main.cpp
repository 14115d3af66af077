#include "commands.h"
#include "console.h"

#include <QCoreApplication>

namespace {

// To add a subcommand: define its Subcommand in its own file, declare it in
// commands.h and list it here.
const Subcommand *const subcommands[] = {
    &publishSubcommand,
    &pruneSubcommand,
    &verifySubcommand,
    &releaseSubcommand,
};

int usage()
{
    QString text = QStringLiteral("usage:");
    for (const Subcommand *subcommand : subcommands) {
        text += QStringLiteral("\n  patchtool %1 %2\n      %3")
                    .arg(QLatin1String(subcommand->name), QLatin1String(subcommand->arguments),
                         QLatin1String(subcommand->summary));
    }
    printError(text);
    return ExitBadInput;
}

} // namespace

int usageError(const Subcommand &subcommand)
{
    printError(QStringLiteral("usage: patchtool %1 %2")
                   .arg(QLatin1String(subcommand.name), QLatin1String(subcommand.arguments)));
    return ExitBadInput;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty())
        return usage();
    const QString name = arguments.takeFirst();
    for (const Subcommand *subcommand : subcommands) {
        if (name == QLatin1String(subcommand->name))
            return subcommand->run(arguments);
    }
    if (name != QLatin1String("--help") && name != QLatin1String("-h"))
        printError(QStringLiteral("patchtool: unknown command \"%1\"").arg(name));
    return usage();
}
