#pragma once

#include <QString>
#include <stdexcept>

// A failure inside a handler: a number and a sentence, as the operator will see them.
// Thrown inside handlers and caught at their edge (runHandler); never crosses Qt's event loop.
class QavError : public std::runtime_error
{
public:
    enum Code {
        ServerUnreachable = 101,
        ServerTimeout = 102,
        ServerRefused = 103,
        BadAnswer = 104,
        MissingColumn = 105,
        NullValue = 106,
        NoCurrentRow = 107,
        ChannelBusy = 108,
        RecordSetClosed = 109,
        BadServerAddress = 110,
        SessionRefused = 111,
        AnswerTooLarge = 112,
        CertificateRefused = 113,
        PictureNotLoaded = 201,
    };

    QavError(int number, const QString &description)
        : std::runtime_error(description.toStdString()), m_number(number),
          m_description(description)
    {}

    int number() const { return m_number; }
    QString description() const { return m_description; }

    // A call the server refused: its HTTP status and its own {"error"} text (empty when it gave
    // none). Zero and empty for every other failure.
    int httpStatus() const { return m_httpStatus; }
    QString serverMessage() const { return m_serverMessage; }
    QavError withServerAnswer(int status, const QString &message) const
    {
        QavError copy = *this;
        copy.m_httpStatus = status;
        copy.m_serverMessage = message;
        return copy;
    }

    // A failure that ends the program once reported (the station's start-up).
    bool isFatal() const { return m_fatal; }
    QavError asFatal() const
    {
        QavError copy = *this;
        copy.m_fatal = true;
        return copy;
    }

private:
    int m_number;
    QString m_description;
    bool m_fatal = false;
    int m_httpStatus = 0;
    QString m_serverMessage;
};
