#pragma once

#include <functional>
#include <string>

class QWidget;

// Every notice of the window goes through one of these: the text (8-bit, system code page)
// and the style (0: one OK button; 16: one OK button and the stop icon).
using MessageBoxFn = std::function<void(const std::string& strText, unsigned nStyle)>;

// The real box: modal, owned by pOwner, one OK button; returns when the operator closed it.
// Timer ticks and posted events of the owner go on meanwhile.
void ShowMessageBox(QWidget* pOwner, const std::string& strText, unsigned nStyle);
