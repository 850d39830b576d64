// qelsrv checklist DIR -o FILE: writes the check list of a game folder, the
// table the update task sends before any file.
#include "checklist.h"
#include "commands.h"

#include <cstdio>
#include <memory>
#include <string>

namespace qelsrv {

namespace {

struct ChecklistOptions {
    std::string folder;
    std::string output;
    uint32_t codePage = kDefaultClientCodePage;
};

// Prints what the list leaves out and why it cannot be built; true when the
// list may be used.
bool ReportNotes(const CheckList& list)
{
    for (const CheckListNote& note : list.skipped)
        std::fprintf(stderr, "qelsrv: skipped %s: %s\n", note.path.string().c_str(), note.reason.c_str());
    for (const CheckListNote& note : list.errors)
        std::fprintf(stderr, "qelsrv: %s: %s\n", note.path.string().c_str(), note.reason.c_str());
    return list.ok();
}

void RunChecklist(const ChecklistOptions& options)
{
    CheckList list = BuildCheckList(options.folder, options.codePage);
    if (!ReportNotes(list)) {
        std::fprintf(stderr, "qelsrv: no check list written: %zu entries cannot be given to a client\n",
                     list.errors.size());
        throw CLI::RuntimeError(2);
    }
    std::string error;
    if (!WriteCheckListFile(list, options.output, error)) {
        std::fprintf(stderr, "qelsrv: %s\n", error.c_str());
        throw CLI::RuntimeError(1);
    }
    size_t folders = 0;
    uint64_t bytes = 0;
    for (const QELDtFile& record : list.records) {
        folders += IsDirectoryRecord(record) ? 1 : 0;
        bytes += RecordSize(record);
    }
    std::printf("%s: %zu files (%llu bytes) and %zu folders, %u bytes of check list\n", options.output.c_str(),
                list.records.size() - folders, static_cast<unsigned long long>(bytes), folders, list.ByteSize());
}

} // namespace

void RegisterChecklistCommand(CLI::App& app)
{
    auto options = std::make_shared<ChecklistOptions>();
    CLI::App* command =
        app.add_subcommand("checklist", "Write the check list of a game folder: one 280-byte record per file and "
                                        "folder, sorted as the client sorts");
    command->add_option("DIR", options->folder, "The game folder")->required()->check(CLI::ExistingDirectory);
    command->add_option("-o,--output", options->output, "The check-list file to write")->required();
    command
        ->add_option("--codepage", options->codePage,
                     "The clients' ANSI code page of the names (936 GBK, 1252 or 65001)")
        ->capture_default_str()
        ->check(CLI::IsMember({936u, 1252u, 65001u}));
    command->callback([options] { RunChecklist(*options); });
}

} // namespace qelsrv
