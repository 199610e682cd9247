#include "platform/x11/picker_dialog.hpp"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace skylark {
namespace {

constexpr int kFilterRole = Qt::UserRole + 1;

QListWidgetItem* addHeader(QListWidget* list, const QString& text) {
    auto* item = new QListWidgetItem(text, list);
    // Not enabled: keyboard moves skip it and it cannot be chosen.
    item->setFlags(Qt::NoItemFlags);
    QFont font = item->font();
    font.setBold(true);
    item->setFont(font);
    return item;
}

}  // namespace

PickerDialog::PickerDialog(Decided onDecided) : onDecided_(std::move(onDecided)) {
    setWindowTitle(tr("Share with the TV"));
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    auto* prompt =
        new QLabel(tr("Choose a whole display or one application to show on the TV."), this);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);
    list_ = new QListWidget(this);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMinimumSize(420, 260);
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(this);
    share_ = buttons->addButton(tr("Share"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    share_->setDefault(true);
    share_->setAutoDefault(true);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        if (item->flags() & Qt::ItemIsSelectable) {
            accept();
        }
    });
    connect(list_, &QListWidget::currentItemChanged, this, [this] { updateButton(); });
}

void PickerDialog::setEntries(const std::vector<Entry>& displays,
                              const std::vector<Entry>& applications, bool showApplications) {
    list_->clear();
    filters_.clear();
    QListWidgetItem* first = nullptr;
    auto addEntry = [&](const Entry& e) {
        auto* item = new QListWidgetItem(e.label, list_);
        item->setData(kFilterRole, static_cast<int>(filters_.size()));
        filters_.push_back(e.filter);
        if (first == nullptr) {
            first = item;
        }
    };
    if (!displays.empty()) {
        addHeader(list_, tr("Displays"));
        for (const Entry& e : displays) {
            addEntry(e);
        }
    }
    if (showApplications) {
        addHeader(list_, tr("Applications"));
        for (const Entry& e : applications) {
            addEntry(e);
        }
        if (applications.empty()) {
            addHeader(list_, tr("No application windows are open."))->setFont(list_->font());
        }
    }
    if (first != nullptr) {
        list_->setCurrentItem(first);
    }
    list_->setFocus(Qt::OtherFocusReason);
    updateButton();
}

void PickerDialog::updateButton() {
    QListWidgetItem* item = list_->currentItem();
    share_->setEnabled(item != nullptr && (item->flags() & Qt::ItemIsSelectable));
}

void PickerDialog::done(int result) {
    QDialog::done(result);
    if (decided_) {
        return;
    }
    decided_ = true;
    std::shared_ptr<const X11ContentFilter> chosen;
    QListWidgetItem* item = list_->currentItem();
    if (result == QDialog::Accepted && item != nullptr && (item->flags() & Qt::ItemIsSelectable)) {
        chosen = filters_.at(static_cast<size_t>(item->data(kFilterRole).toInt()));
    }
    if (onDecided_) {
        onDecided_(std::move(chosen));
    }
}

}  // namespace skylark
