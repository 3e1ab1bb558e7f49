// The serial channel's file sender: SendFile writes the first chunk, every transmit-empty event
// of the driver the next one, AbortSendFile ends a transfer early.
#include "serial/NexCom.h"

#include <QString>

#include <exception>
#include <filesystem>

void TNexComThread::SendFile(const std::wstring& name)
{
    if (!ok())
        RaiseError(0, kClosedPort);
    const std::string path = QString::fromStdWString(name).toStdString();
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || transferring_)
        RaiseError(0, "File does not exist or send file already in progress");
    transfer_.Close();
    const bool opened = transfer_.Open(path, BufSize());
    transferring_ = false;
    if (!opened)
        RaiseError(0, "No read access to the file: " + path);
    transferring_ = true;
    // The progress handler may destroy the channel; then there is nothing left to send.
    const QPointer<TNexComThread> alive(this);
    ReportProgress(0, 0);
    if (alive)
        NexComOnTxEmpty(this);
}

bool TNexComThread::TxEmptyWanted() const
{
    return TComPort::TxEmptyWanted() && (transferring_ || onTxEmpty_);
}

void TNexComThread::NexComOnTxEmpty(QObject* Sender)
{
    if (!transferring_) {
        Raise(onTxEmpty_, Sender);
        return;
    }
    if (!transfer_.Finished()) {
        bool whole = false;
        try {
            whole = transfer_.SendChunk([this](char c) { WriteChar(c); });
        } catch (...) {
            EndTransfer();
            throw;
        }
        if (whole)
            ReportProgress(transfer_.PercentComplete(), transfer_.BytesSent());
        else
            EndTransfer();
        return;
    }
    transferring_ = false;
    transfer_.Close();
    ReportProgress(100, transfer_.BytesSent());
}

void TNexComThread::AbortSendFile()
{
    if (!transferring_)
        return;
    transfer_.SkipRest();
    std::exception_ptr failure;
    try {
        PurgeOutput();
    } catch (...) {
        failure = std::current_exception();
    }
    const QPointer<TNexComThread> alive(this);
    NexComOnTxEmpty(this); // the closing report, whose handler may destroy the channel
    if (alive) {
        transferring_ = false;
        transfer_.Reset();
    }
    if (failure)
        std::rethrow_exception(failure);
}

// A transfer that cannot go on ends at once, reporting how far it got.
void TNexComThread::EndTransfer()
{
    transferring_ = false;
    transfer_.Close();
    ReportProgress(transfer_.PercentComplete(), transfer_.BytesSent());
}

void TNexComThread::ReportProgress(std::int32_t percent, std::int32_t bytesSent)
{
    Raise(onSendFileComplete_, static_cast<QObject*>(this), percent, bytesSent);
}
