#pragma once
#include <QDialog>
#include <map>
#include <string>
#include <vector>

#include "desktop/SettingsModel.h"
#include "desktop/SettingsPages.h"

class QLabel;
class QListWidget;
class QSlider;
class QStackedWidget;
class QWidget;

namespace kronelqt {

// The settings pages over SettingsModel, a list of pages beside the page shown, and the
// information page. OK checks every value, writes the store and leaves the settings that
// changed in changedSettings().
class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kInformationPage = "Information";

    SettingsDialog(platform::RegRoot root, const std::string& parametersKey, QWidget* parent);

    // Shows the page with this title.
    void showPage(const QString& title);
    QStringList pageTitles() const;
    const std::vector<std::string>& changedSettings() const { return changed_; }

    void accept() override;

private:
    QWidget* buildPage(const desktop::SettingsPage& page);
    QWidget* buildInformation(platform::RegRoot root);
    QWidget* alertSlider();
    // The value a control shows, as the model takes it.
    std::string controlValue(const std::string& name) const;

    desktop::SettingsModel model_;
    QListWidget* pages_;
    QStackedWidget* stack_;
    std::map<std::string, QWidget*> controls_;  // by setting name
    QSlider* alertSlider_ = nullptr;
    QLabel* alertLabel_ = nullptr;
    int alertInitial_ = 0;
    std::vector<std::string> changed_;
};

}  // namespace kronelqt
