#include "app/access_prompts.hpp"

#include <QMessageBox>
#include <QPushButton>
#include <set>

namespace skylark {

std::string accessQuestion(const std::string& name) {
    return "Let " + name + " watch your screen?";
}

AccessPrompts::AccessPrompts(std::shared_ptr<DeviceAccess> access) : access_(std::move(access)) {}

AccessPrompts::~AccessPrompts() = default;

void AccessPrompts::update() {
    std::set<std::string> waiting;
    for (const DeviceAccess::Request& request : access_->waiting()) {
        waiting.insert(request.key);
        if (open_.contains(request.key)) {
            continue;
        }
        auto box = std::make_unique<QMessageBox>(
            QMessageBox::Question, QStringLiteral("Skylark"),
            QString::fromStdString(accessQuestion(request.address)), QMessageBox::NoButton);
        box->setInformativeText(
            QStringLiteral("The TV shows the code %1. Allow only a TV of yours that shows it.")
                .arg(QString::fromStdString(request.code)));
        QPushButton* allow = box->addButton(QStringLiteral("Allow"), QMessageBox::AcceptRole);
        box->addButton(QStringLiteral("Deny"), QMessageBox::RejectRole);
        box->setDefaultButton(allow);
        // Answered by the person: the list changes and update() closes the box. Closing it
        // with Escape or the window's button denies, so no question is left without an answer.
        connect(box.get(), &QMessageBox::finished, this,
                [this, key = request.key, box = box.get(), allow] {
                    if (box->clickedButton() == allow) {
                        access_->allow(key);
                    } else {
                        access_->deny(key);
                    }
                });
        box->setWindowModality(Qt::NonModal);
        box->open();
        box->raise();
        open_.emplace(request.key, std::move(box));
    }
    for (auto it = open_.begin(); it != open_.end();) {
        if (waiting.contains(it->first)) {
            ++it;
            continue;
        }
        it->second->disconnect(this);
        it->second->hide();
        it->second.release()->deleteLater();  // it may be the one whose answer runs now
        it = open_.erase(it);
    }
}

}  // namespace skylark
