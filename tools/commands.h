#pragma once

#include <QStringList>

// Exit codes shared by the subcommands.
enum ExitCode : int
{
    ExitOk = 0,
    ExitFailed = 1,   // the work failed, or (verify) files differ
    ExitBadInput = 2, // wrong arguments, unreadable or invalid input
};

struct Subcommand
{
    const char *name;
    const char *arguments; // for the usage text
    const char *summary;
    int (*run)(const QStringList &arguments); // the arguments after the name
};

// One per file; main.cpp lists them.
extern const Subcommand publishSubcommand;
extern const Subcommand verifySubcommand;
extern const Subcommand releaseSubcommand;
extern const Subcommand pruneSubcommand;

// Prints the subcommand's usage to stderr and returns ExitBadInput.
int usageError(const Subcommand &subcommand);
