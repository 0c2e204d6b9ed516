// The editor's message boxes and its texts on Qt: registry texts are UTF-8
// bytes, and every modal window passes a hook first, so tests can answer it.
#pragma once
#include <QDialog>
#include <QString>
#include <functional>
#include <string>

#include "tools/config/core/config_host.h"

namespace qn::config {

// Called with each modal window before it runs; its own result stands.
using BeforeModal = std::function<void(QDialog&)>;

QString Shown(const std::string& bytes);
std::string Typed(const QString& text);

// Captioned "Quillnet Configuration Manager"; IDOK, IDYES or IDNO.
int RunMessageBox(QWidget* parent, const BeforeModal& hook, const std::string& text, Buttons buttons,
                  Icon icon);

}  // namespace qn::config
