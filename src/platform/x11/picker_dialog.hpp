#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <vector>

#include "platform/x11/x11_content_filter.hpp"

class QListWidget;
class QPushButton;

namespace skylark {

// The dialog of the X11 content picker: the displays (primary first) and then the application
// windows, in one keyboard-driven list. It opens with the first display (or application)
// selected and the focus in the list, so Enter shares at once; a double click shares too;
// Escape or closing the window cancels. It reports exactly one outcome through `onDecided`
// (a filter, or null for a cancellation) and is then closed.
class PickerDialog : public QDialog {
  public:
    struct Entry {
        QString label;
        std::shared_ptr<const X11ContentFilter> filter;
    };
    using Decided = std::function<void(std::shared_ptr<const X11ContentFilter>)>;

    explicit PickerDialog(Decided onDecided);

    // Fills the list; an empty section is left out (displays) or says it is empty.
    void setEntries(const std::vector<Entry>& displays, const std::vector<Entry>& applications,
                    bool showApplications);

    QListWidget* list() const { return list_; }

  protected:
    void done(int result) override;

  private:
    void updateButton();

    Decided onDecided_;
    bool decided_ = false;
    QListWidget* list_;
    QPushButton* share_;
    std::vector<std::shared_ptr<const X11ContentFilter>> filters_;  // by item data index
};

}  // namespace skylark
