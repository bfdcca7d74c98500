#include "desktop/qt/DialogServerListUi.h"

#include <QFileDialog>
#include <QMessageBox>

#include "desktop/qt/EngineText.h"
#include "desktop/qt/ServerPage.h"

namespace kronelqt {

namespace {

QString nameFilter(const std::string& filter) {
    // "*.TXT": the pattern, shown as the file dialogs of the desktop show a filter.
    return QString("Text files (%1)").arg(QString::fromStdString(filter));
}

// Shared by both file dialogs: the current folder is left as it is, and no read-only box.
QFileDialog* fileDialog(QWidget* owner, const std::string& title, const std::string& initialName,
                        const std::string& filter) {
    auto* dialog = new QFileDialog(owner, QString::fromStdString(title));
    dialog->setObjectName("ServerListFileDialog");
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setNameFilter(nameFilter(filter));
    dialog->selectFile(QString::fromStdString(initialName));
    dialog->setOption(QFileDialog::ReadOnly, false);
    return dialog;
}

std::optional<std::string> runFileDialog(QFileDialog* dialog) {
    std::optional<std::string> chosen;
    if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
        chosen = dialog->selectedFiles().first().toStdString();
    }
    delete dialog;
    return chosen;
}

}  // namespace

bool DialogServerListUi::askYesNo(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Warning, fromEngine(caption), fromEngine(text),
                    QMessageBox::Yes | QMessageBox::No, owner_);
    box.setObjectName("ConfirmBox");
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> DialogServerListUi::chooseExportFile(const std::string& title,
                                                                const std::string& initialName,
                                                                const std::string& filter) {
    QFileDialog* dialog = fileDialog(owner_, title, initialName, filter);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setDefaultSuffix("txt");
    return runFileDialog(dialog);
}

std::optional<std::string> DialogServerListUi::chooseImportFile(const std::string& title,
                                                                const std::string& initialName,
                                                                const std::string& filter) {
    QFileDialog* dialog = fileDialog(owner_, title, initialName, filter);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    return runFileDialog(dialog);
}

std::optional<desktop::ServerRecord> DialogServerListUi::editServer(
    const desktop::ServerRecord& record) {
    ServerPage page(record, sntpFix_(), owner_);
    if (page.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return page.record();
}

}  // namespace kronelqt
