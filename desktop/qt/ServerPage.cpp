#include "desktop/qt/ServerPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "desktop/qt/EngineText.h"
#include "engine/ProtocolCatalogue.h"

namespace kronelqt {

ServerPage::ServerPage(const desktop::ServerRecord& record, bool sntpFix, QWidget* parent)
    : QDialog(parent), record_(record) {
    setObjectName("ServerPage");
    setWindowTitle(record.name.empty() ? tr("Add Server") : tr("Server Properties"));

    name_ = new QLineEdit(fromEngine(record.name));
    name_->setObjectName("name");
    name_->setPlaceholderText(tr("the address, when left empty"));
    addr_ = new QLineEdit(fromEngine(record.addr));
    addr_->setObjectName("addr");
    protocol_ = new QComboBox;
    protocol_->setObjectName("protocol");
    for (const engine::ProtocolRow& row : engine::kProtocolCatalogue) {
        const std::string shown = engine::protocolDisplayName(row.number, sntpFix);
        protocol_->addItem(QString("%1 - %2").arg(row.number).arg(fromEngine(shown)), row.number);
    }
    const int current = protocol_->findData(record.protocol);
    protocol_->setCurrentIndex(current < 0 ? 0 : current);
    rejectNtp_ = new QCheckBox(tr("Reject replies that fail the NTP checks"));
    rejectNtp_->setObjectName("rejectntp");
    rejectNtp_->setChecked(record.rejectntp != 0);
    useProxy_ = new QCheckBox(tr("Use the proxy"));
    useProxy_->setObjectName("useproxy");
    useProxy_->setChecked(record.useproxy != 0);

    auto* form = new QFormLayout;
    form->addRow(tr("&Name:"), name_);
    form->addRow(tr("&Address:"), addr_);
    form->addRow(tr("&Protocol:"), protocol_);
    form->addRow(QString(), rejectNtp_);
    form->addRow(QString(), useProxy_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    connect(protocol_, &QComboBox::currentIndexChanged, this, &ServerPage::protocolChanged);
    protocolChanged();
    addr_->setFocus();
    setMinimumWidth(420);
}

void ServerPage::protocolChanged() {
    const int protocol = protocol_->currentData().toInt();
    // The flags apply only to some protocols; the model writes them only there.
    rejectNtp_->setEnabled(engine::takesRejectNtp(protocol));
    useProxy_->setEnabled(engine::takesProxy(protocol));
}

desktop::ServerRecord ServerPage::record() const {
    desktop::ServerRecord r = record_;
    r.name = toEngine(name_->text().trimmed());
    r.addr = toEngine(addr_->text().trimmed());
    r.protocol = protocol_->currentData().toInt();
    r.rejectntp = rejectNtp_->isChecked() ? 1 : 0;
    r.useproxy = useProxy_->isChecked() ? 1 : 0;
    return r;
}

}  // namespace kronelqt
