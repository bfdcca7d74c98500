#pragma once
#include <QDialog>

#include "desktop/ServerListModel.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace kronelqt {

// The server's property page: name, address, protocol and the two flags that apply to some
// protocols.
class ServerPage : public QDialog {
    Q_OBJECT
public:
    ServerPage(const desktop::ServerRecord& record, bool sntpFix, QWidget* parent);
    desktop::ServerRecord record() const;

private:
    void protocolChanged();

    desktop::ServerRecord record_;
    QLineEdit* name_;
    QLineEdit* addr_;
    QComboBox* protocol_;
    QCheckBox* rejectNtp_;
    QCheckBox* useProxy_;
};

}  // namespace kronelqt
