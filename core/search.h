// SPDX-License-Identifier: MIT
//
// One search: the request sent to every destination, resent on a timer, the
// replies merged by serial number until the window closes, and the judgement
// of where each receiver stands from this computer. A verifying search after
// a configuration message is a search too, with its own window.
#pragma once

#include "network.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

namespace Core {

class Search : public QObject {
    Q_OBJECT
public:
    // A receiver may restart after taking new settings: a verifying search asks this often.
    static constexpr int VerifyResendMs = 500;
    // What --model left out is counted within this bound, for the message
    // that says what did answer.
    static constexpr int MaxModelsHeard = 16;

    Search(Exchange &exchange, const SearchOptions &options, QObject *parent = nullptr);

    // Where the requests go and this computer's subnets. Returns the error
    // of a bad --interface, or an empty string.
    QString prepare();
    const QList<Destination> &destinations() const
    {
        return m_destinations;
    }
    const QList<LocalSubnet> &interfaces() const // with loopback
    {
        return m_interfaces;
    }
    const QList<LocalSubnet> &subnets() const // without it
    {
        return m_subnets;
    }

    // Forgets what was heard and sends the request; it goes out again
    // every `resendEveryMs` (0: never), `resends` more times (-1: until the
    // window closes). Returns how many requests went out; `failures` gets the
    // reasons of the others.
    int begin(int windowMs, int resendEveryMs, int resends, QStringList *failures = nullptr);
    // The search the options ask for: --timeout, with --retries spread over it.
    int begin(QStringList *failures = nullptr);
    void stop();
    bool running() const
    {
        return m_running;
    }
    qint64 leftMs() const;

    const ReceiverList &heard() const
    {
        return m_heard;
    }
    QList<QByteArray> serials() const;
    int filteredCount() const
    {
        return int(m_filtered.size());
    }
    const QStringList &modelsHeard() const
    {
        return m_modelsHeard;
    }

    // With --to, a reply from outside its interface's subnets came from a
    // receiver with a wrong address on that wire or through a router. A
    // broadcast-only request on those interfaces tells which: only the first
    // can answer it. Then, or at once when there is nothing to tell, `then`.
    // Done once per run.
    void conclude(const QList<QByteArray> &serials, std::function<void()> then);
    // For a search that heard nothing: where it asked, and what came back.
    QString summary() const;
    // --to addresses that the window closed before they were asked.
    int unasked() const
    {
        return m_unasked;
    }

    // Waits for conclude() to tell where it stands.
    bool undecided(const Receiver &r) const;
    // Whether it is reachable or routed; explained() also says why, and how
    // to reach it, weighing the other receivers' addresses for a free one.
    Reach reach(const Receiver &r) const
    {
        return reachOf(r, false);
    }
    Reach explained(const Receiver &r) const
    {
        return reachOf(r, true);
    }

signals:
    // A reply taken into the list while the window is open.
    void received(const Core::Receiver &r, int index, bool isNew, bool newIdentity);
    void windowEnded();

private:
    void onReply(const Receiver &r);
    void onDeadline();
    void onResend();
    int sendRequests(QStringList *failures);
    void sendPaced(); // the next of m_paced
    void endProbe();
    Reach reachOf(const Receiver &r, bool explain) const;

    Exchange &m_exchange;
    SearchOptions m_options;
    QList<Destination> m_destinations;
    QList<LocalSubnet> m_interfaces, m_subnets;
    ReceiverList m_heard;
    bool m_running = false;
    QTimer m_deadline, m_resend, m_settle;
    // A --to block's addresses beyond the first few, a batch per tick, so that
    // a router meets them a few at a time.
    QTimer m_pace;
    QList<Destination> m_paced;
    QElapsedTimer m_clock;
    int m_windowMs = 0;
    int m_resendsLeft = 0;
    int m_unasked = 0;

    QSet<QByteArray> m_filtered; // serials that --model left out
    QStringList m_modelsHeard;   // the models they have

    bool m_probed = false, m_probing = false;
    QSet<QByteArray> m_onSegment;    // answered a broadcast-only request
    QSet<QByteArray> m_probeWaiting; // not yet
    std::function<void()> m_afterProbe;
    mutable OwnAddresses m_ownAddresses;
};

} // namespace Core
