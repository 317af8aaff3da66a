pragma Singleton
import QtQml
import ViewsFacade 1.0

// The state behind the stand-ins, shared by all their instances the way the
// real fronts share one implementation: the system status, the passwords the
// devices accept, and a record of what the views asked for.
QtObject {
    property int systemStatus: 1
    property var passwords: ({})
    property var sentSystemEvents: []
    property var scanRequests: []
    property var loginAttempts: []
    property var interfaces: []
    property int interfaceUpdates: 0
    // Run by the next login while it waits for its device; taken once.
    property var duringLogin: null
    // Devices whose key is refused ({pinned, shown} by id), and the
    // operator's word on them ("accept <id>", "forget <id>").
    property var refusals: ({})
    property var trustWords: []
    // What a device's key reads as ({state, digest, detail} by id): "known"
    // unless set; "held" never comes.
    property var keys: ({})

    // The last batch's record, as the system's journal shows it.
    property QtObject journal: QtObject {
        property string line: ""
        property bool busy: false
        property bool ended: false
        property var saved: []
        signal announced(string text)
        function saveResults(file) {
            saved.push(String(file))
            return ""
        }
    }

    signal systemEvent(int eventID, var options)

    function reset() {
        systemStatus = 1
        passwords = {}
        sentSystemEvents = []
        scanRequests = []
        loginAttempts = []
        interfaces = []
        interfaceUpdates = 0
        duringLogin = null
        refusals = {}
        trustWords = []
        keys = {}
        journal.line = ""
        journal.busy = false
        journal.ended = false
        journal.saved = []
    }

    // A device the facade lists, with the password it accepts.
    function addDevice(deviceID, ipAddress, model, hostName, password) {
        Facade.add(deviceID, ipAddress, model, hostName)
        passwords[deviceID] = password
    }

    function login(deviceID, password) {
        const during = duringLogin
        duringLogin = null
        if (during !== null)
            Facade.waitNested(during)
        loginAttempts.push({ "deviceID": deviceID, "password": password })
        if (refusals[deviceID] === undefined && passwords[deviceID] !== undefined && passwords[deviceID] === password)
            Facade.setValue(deviceID, 14, true)
    }
}
