#pragma once
#include <functional>

#include "desktop/ServerListModel.h"

class QWidget;

namespace kronelqt {

// The server list's questions and file choices as the desktop's own dialogs.
class DialogServerListUi : public desktop::ServerListUi {
public:
    DialogServerListUi(QWidget* owner, std::function<bool()> sntpFix,
                       std::function<void(const std::string&)> query)
        : owner_(owner), sntpFix_(std::move(sntpFix)), query_(std::move(query)) {}

    bool askYesNo(const std::string& text, const std::string& caption) override;
    std::optional<std::string> chooseExportFile(const std::string& title,
                                                const std::string& initialName,
                                                const std::string& filter) override;
    std::optional<std::string> chooseImportFile(const std::string& title,
                                                const std::string& initialName,
                                                const std::string& filter) override;
    std::optional<desktop::ServerRecord> editServer(const desktop::ServerRecord& record) override;
    void startQuery(const std::string& name) override { query_(name); }

private:
    QWidget* owner_;
    std::function<bool()> sntpFix_;
    std::function<void(const std::string&)> query_;
};

}  // namespace kronelqt
