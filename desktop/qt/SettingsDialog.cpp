#include "desktop/qt/SettingsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <climits>

#include "alerts/AlertTimeouts.h"
#include "desktop/SettingsPages.h"
#include "desktop/qt/EngineText.h"

namespace kronelqt {

SettingsDialog::SettingsDialog(platform::RegRoot root, const std::string& parametersKey,
                               QWidget* parent)
    : QDialog(parent), model_(root, parametersKey) {
    setObjectName("SettingsDialog");
    setWindowTitle(tr("Kronel Settings"));
    pages_ = new QListWidget;
    pages_->setObjectName("pages");
    pages_->setSpacing(2);
    stack_ = new QStackedWidget;
    for (const desktop::SettingsPage& page : desktop::settingsPages()) {
        pages_->addItem(tr(page.title));
        stack_->addWidget(buildPage(page));
    }
    pages_->addItem(tr(kInformationPage));
    stack_->addWidget(buildInformation(root));
    pages_->setFixedWidth(pages_->sizeHintForColumn(0) + 2 * pages_->frameWidth() + 16);
    connect(pages_, &QListWidget::currentRowChanged, stack_, &QStackedWidget::setCurrentIndex);
    pages_->setCurrentRow(0);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* body = new QHBoxLayout;
    body->addWidget(pages_);
    body->addWidget(stack_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body, 1);
    layout->addWidget(buttons);
    resize(720, 440);
}

QStringList SettingsDialog::pageTitles() const {
    QStringList titles;
    for (int i = 0; i < pages_->count(); ++i) {
        titles << pages_->item(i)->text();
    }
    return titles;
}

void SettingsDialog::showPage(const QString& title) {
    const auto found = pages_->findItems(title, Qt::MatchExactly);
    if (!found.isEmpty()) {
        pages_->setCurrentItem(found.first());
    }
}

QWidget* SettingsDialog::alertSlider() {
    alertSlider_ = new QSlider(Qt::Horizontal);
    alertSlider_->setObjectName(desktop::kAlertTimeoutSetting);
    alertSlider_->setRange(0, alerts::kAlertTimeoutPositions - 1);
    alertSlider_->setTickPosition(QSlider::TicksBelow);
    alertSlider_->setPageStep(1);
    alertLabel_ = new QLabel;
    alertLabel_->setObjectName("AlertTimeoutLabel");
    alertLabel_->setMinimumWidth(alertLabel_->fontMetrics().horizontalAdvance("After 24 hours__"));
    connect(alertSlider_, &QSlider::valueChanged, this,
            [this](int position) { alertLabel_->setText(alerts::alertTimeoutLabel(position)); });
    const uint32_t stored =
        static_cast<uint32_t>(std::stoul(model_.value(desktop::kAlertTimeoutSetting)));
    alertSlider_->setValue(alerts::alertTimeoutPosition(stored));
    alertLabel_->setText(alerts::alertTimeoutLabel(alertSlider_->value()));
    alertInitial_ = alertSlider_->value();
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(alertSlider_, 1);
    layout->addWidget(alertLabel_);
    return row;
}

QWidget* SettingsDialog::buildPage(const desktop::SettingsPage& page) {
    auto* widget = new QWidget;
    widget->setObjectName(page.title);
    auto* layout = new QVBoxLayout(widget);
    auto* heading = new QLabel(QString("<b>%1</b>").arg(tr(page.title)));
    auto* description = new QLabel(tr(page.description));
    description->setWordWrap(true);
    layout->addWidget(heading);
    layout->addWidget(description);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    for (const desktop::SettingField& field : page.fields) {
        const desktop::SettingDef* def = desktop::findSetting(field.name);
        if (def == nullptr) {
            continue;
        }
        const QString value = fromEngine(model_.value(field.name));
        if (std::string(field.name) == desktop::kAlertTimeoutSetting) {
            form->addRow(tr(field.label) + ":", alertSlider());
            continue;
        }
        QWidget* control = nullptr;
        switch (def->kind) {
            case desktop::SettingKind::Flag: {
                auto* box = new QCheckBox(tr(field.label));
                box->setChecked(value != "0");
                form->addRow(box);
                control = box;
                break;
            }
            case desktop::SettingKind::Number: {
                auto* spin = new QSpinBox;
                spin->setRange(static_cast<int>(std::max<long long>(def->min, INT_MIN)),
                               static_cast<int>(std::min<long long>(def->max, INT_MAX)));
                spin->setValue(value.toInt());
                // Wide enough for the numbers people type, not for the largest a DWORD holds.
                spin->setFixedWidth(spin->fontMetrics().horizontalAdvance("99999999") + 40);
                auto* row = new QWidget;
                auto* rowLayout = new QHBoxLayout(row);
                rowLayout->setContentsMargins(0, 0, 0, 0);
                rowLayout->addWidget(spin);
                if (*field.unit) {
                    rowLayout->addWidget(new QLabel(tr(field.unit)));
                }
                rowLayout->addStretch(1);
                form->addRow(tr(field.label) + ":", row);
                control = spin;
                break;
            }
            case desktop::SettingKind::Text:
            case desktop::SettingKind::Status: {
                auto* edit = new QLineEdit(value);
                if (field.secret) {
                    edit->setEchoMode(QLineEdit::Password);
                }
                if (*field.unit) {
                    auto* row = new QWidget;
                    auto* rowLayout = new QHBoxLayout(row);
                    rowLayout->setContentsMargins(0, 0, 0, 0);
                    rowLayout->addWidget(edit, 1);
                    rowLayout->addWidget(new QLabel(tr(field.unit)));
                    form->addRow(tr(field.label) + ":", row);
                } else {
                    form->addRow(tr(field.label) + ":", edit);
                }
                control = edit;
                break;
            }
        }
        control->setObjectName(field.name);
        controls_[field.name] = control;
    }
    layout->addLayout(form);
    layout->addStretch(1);
    return widget;
}

QWidget* SettingsDialog::buildInformation(platform::RegRoot root) {
    auto* widget = new QWidget;
    widget->setObjectName(kInformationPage);
    auto* layout = new QVBoxLayout(widget);
    layout->addWidget(new QLabel(QString("<b>Kronel %1</b>").arg(KRONEL_VERSION)));
    auto* about =
        new QLabel(tr("Keeps this computer's clock right from time servers and reference clocks, "
                      "and serves the time to others."));
    about->setWordWrap(true);
    layout->addWidget(about);
    auto* form = new QFormLayout;
    auto* version = new QLabel(KRONEL_VERSION);
    version->setObjectName("version");
    auto* store = new QLabel(QString::fromStdString(platform::registryFile(root)));
    store->setObjectName("store");
    store->setTextInteractionFlags(Qt::TextSelectableByMouse);
    store->setWordWrap(true);
    form->addRow(tr("Version:"), version);
    form->addRow(tr("Settings are kept in:"), store);
    form->addRow(tr("Built with:"), new QLabel(QString("Qt %1").arg(QT_VERSION_STR)));
    layout->addLayout(form);
    layout->addStretch(1);
    return widget;
}

std::string SettingsDialog::controlValue(const std::string& name) const {
    const QWidget* control = controls_.at(name);
    if (const auto* box = qobject_cast<const QCheckBox*>(control)) {
        return box->isChecked() ? "1" : "0";
    }
    if (const auto* spin = qobject_cast<const QSpinBox*>(control)) {
        return std::to_string(spin->value());
    }
    return toEngine(qobject_cast<const QLineEdit*>(control)->text());
}

void SettingsDialog::accept() {
    QStringList errors;
    for (const auto& [name, control] : controls_) {
        const std::string error = model_.set(name, controlValue(name));
        if (!error.empty()) {
            errors << fromEngine(error);
        }
    }
    // The slider shows the stored time-out rounded up to a choice: only a move is a change.
    if (alertSlider_ != nullptr && alertSlider_->value() != alertInitial_) {
        (void)model_.set(desktop::kAlertTimeoutSetting,
                         std::to_string(alerts::alertTimeoutMinutes(alertSlider_->value())));
    }
    if (!errors.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), errors.join("\n"));
        return;
    }
    changed_ = model_.changedSettings();
    if (!model_.save()) {
        QMessageBox::warning(this, windowTitle(), tr("The settings could not all be written."));
    }
    QDialog::accept();
}

}  // namespace kronelqt
