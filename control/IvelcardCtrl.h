// The control object. Its dispatch members are the five operations, each
// returning the text of one result document as a new BSTR, and AboutBox.
//
// Every operation runs one frame: make the module state current, start with
// flag -1 and the operation's initial message, determine the outcome inside
// a guard that catches framework failures (keeping the flag and message as
// they stood), map the code through the operation's outcome table, write the
// document and return it as UTF-16.
//
// Constructing a control deploys and binds the reader libraries and replaces
// the process-wide `librariesReady` with the outcome.
#pragma once

#include "platform/OleControl.h"

namespace control {

class CIvelcardCtrl : public platform::COleControl {
public:
    CIvelcardCtrl();

    platform::BSTR connect();
    platform::BSTR disconnect();
    platform::BSTR getStatus();
    platform::BSTR readCert();
    platform::BSTR getSAMID();
    void AboutBox();

    // Creates a control holding one reference (the class factory's creator).
    static platform::IUnknown* create();

private:
    ~CIvelcardCtrl() override = default;
};

}  // namespace control
