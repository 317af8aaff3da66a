import QtQml

QtObject {
    function generate(options) {
        return "message for " + options["errorCode"]
    }
}
