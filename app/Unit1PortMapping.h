#pragma once
// The window's side of opening the stream port on the home router: the
// "Ask the router to open the port" box, the router's public address beside
// the echo's answer, the reachability line, and the mapper that runs from
// Start to Stop.

#include "net/Reachability.h"

#include <memory>
#include <string>

class QObject;
class TForm1;
class TIniFile;
class PortMapper;

class TPortMappingController {
public:
    explicit TPortMappingController(TForm1& form);
    ~TPortMappingController(); // removes the mapping (bounded)

    void Load(const TIniFile& ini);
    void Save(TIniFile& ini) const;

    // Called by Start once the network sink listens on `port`; returns at once.
    void Start(int port);
    // Called by Stop, a source change and close: removes the mapping,
    // waiting for the router at most 2 seconds.
    void Stop();

    // The port viewers outside use while the router keeps one open, else 0.
    int ExternalPort() const;
    // The router's own public address when it is a public one, else "".
    std::string UsableRouterAddress() const;
    // What the address echo service answered ("" when it failed).
    void EchoAnswered(const std::string& address);

private:
    void Outcome(const MappingOutcome& outcome);
    void ShowDiagnosis();

    TForm1& m_form;
    std::unique_ptr<PortMapper> m_mapper;
    // Receives the mapper's outcomes; replaced at each Start and deleted at
    // Stop, so an outcome still on its way is dropped.
    std::unique_ptr<QObject> m_notices;
    MappingOutcome m_outcome;
    std::string m_echo;
    std::string m_said;  // the last diagnosis shown
    std::string m_said6; // the last IPv6 line shown
    bool m_inFile = false;
};
