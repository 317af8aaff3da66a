#pragma once

class DeviceFacade;
class HttpAccessManager;
class PinnedPeerTrust;
class PushSessionService;

// The process's services, assembled once by a front end (the window's shell
// in Startup::run, or a command-line tool) and read only where an object is
// made without arguments: the types QML creates and the framework's
// factories. Everything else is handed its services by whoever makes it, so
// tests and the program take the same path. None is owned here.
//
// Threads: install before the first reader runs; read on the user-interface
// thread.
struct Services
{
    DeviceFacade* facade = nullptr;
    PushSessionService* pushSessions = nullptr;
    HttpAccessManager* httpAccess = nullptr;
    // The devices' pinned keys; null when key pinning is off.
    PinnedPeerTrust* trust = nullptr;

    // Fills the process's record; a later call replaces it.
    static void install(const Services& services);
    // The installed record. A reader that comes before any install gets the
    // process-wide facade and access manager and no push sessions (logged
    // once): a program without a front end's set-up still runs, without
    // channels.
    static const Services& process();
};
