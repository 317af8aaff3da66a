import QtQml

QtObject {
    enum ID { InvalidID, RequestLogin, NumberOfIDs }
}
