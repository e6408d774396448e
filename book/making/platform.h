// What the core needs from a platform. The windows hand it the real thing; the command
// line and the tests hand it their own.
#pragma once

#include "book/base/report.h"

#include <cstdint>
#include <string>
#include <vector>

namespace folio {

// Shows the page in hand while a book is made. Called on the thread that runs makeBook.
class ProgressDisplay {
  public:
    virtual ~ProgressDisplay() = default;
    virtual void StartProgress() = 0;
    // path of the row in hand; done pages written so far, total rows in the list.
    virtual void ShowCurrentPage(const std::string& path, int done, int total) = 0;
    virtual void HideProgress() = 0;
    virtual void DestroyProgress() = 0;
};

class NullProgress final : public ProgressDisplay {
  public:
    void StartProgress() override {}
    void ShowCurrentPage(const std::string&, int, int) override {}
    void HideProgress() override {}
    void DestroyProgress() override {}
};

struct MakeReport {
    std::string outputName;
    bool declined = false; // the user would not overwrite an existing file
    bool written = false;  // the book file is complete on disk
    std::string error;     // why it was not written, naming the file
    int pagesWritten = 0;
    std::vector<SkippedRow> skipped;   // unusable rows, in list order
    std::vector<std::string> existing; // the names that existed when replacing them was asked
    struct Volume {
        std::string name;
        int pages = 0;
    };
    std::vector<Volume> volumes; // the files written: the book, or each of its volumes
};

class BookPlatform {
  public:
    virtual ~BookPlatform() = default;
    virtual bool fileExists(const std::string& name) = 0;
    // The question box: true for Yes.
    virtual bool askOverwrite(const std::string& question) = 0;
    // The success message box; returns when the user has closed it.
    virtual void reportSuccess(const std::string& message, const MakeReport& report) = 0;
    virtual void reportFailure(const MakeReport& report) = 0;
};

} // namespace folio
