#pragma once
// Records which line events reached their handlers, in order, and on which thread.

#include <QObject>
#include <QThread>

#include <functional>
#include <string>
#include <vector>

class EventRecorder : public QObject {
public:
    void Rx(QObject* sender) { Note("rx", sender); }
    void Tx(QObject* sender) { Note("tx", sender); }
    void Cts(QObject* sender) { Note("cts", sender); }
    void Dsr(QObject* sender) { Note("dsr", sender); }
    void Ring(QObject* sender) { Note("ring", sender); }
    void Rlsd(QObject* sender) { Note("rlsd", sender); }
    void Break(QObject* sender) { Note("break", sender); }

    int Count(const std::string& name) const;

    std::vector<std::string> events;
    std::vector<QObject*> senders;
    bool allOnMainThread = true;
    // Runs inside every handler after the note, e.g. to read, throw or hold the thread.
    std::function<void(const std::string&)> during;

private:
    void Note(const std::string& name, QObject* sender);
};
