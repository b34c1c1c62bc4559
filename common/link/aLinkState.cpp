#include "aLinkState.h"

const char* aLinkState_Name(aLinkState state) {
    switch (state) {
    case aLinkState::Starting:
        return "starting";
    case aLinkState::Open:
        return "open";
    case aLinkState::Stopping:
        return "stopping";
    case aLinkState::Remaking:
        return "remaking";
    case aLinkState::Closing:
        return "closing";
    case aLinkState::Gone:
        return "gone";
    }
    return "?";
}

bool aLinkState_CanMove(aLinkState from, aLinkState to) {
    switch (from) {
    case aLinkState::Starting:
        return to == aLinkState::Open || to == aLinkState::Closing;
    case aLinkState::Open:
        return to == aLinkState::Stopping || to == aLinkState::Closing;
    case aLinkState::Stopping:
        return to == aLinkState::Remaking;
    case aLinkState::Remaking:
        return to == aLinkState::Open;
    case aLinkState::Closing:
        return to == aLinkState::Gone;
    case aLinkState::Gone:
        return false;
    }
    return false;
}

aLinkCallAccess aLinkState_CallAccess(aLinkState state, bool onALinkThread) {
    switch (state) {
    case aLinkState::Open:
        return aLinkCallAccess::Served;
    case aLinkState::Stopping:
        return onALinkThread ? aLinkCallAccess::Served : aLinkCallAccess::Waits;
    case aLinkState::Remaking:
        return aLinkCallAccess::Waits;
    case aLinkState::Starting:
    case aLinkState::Closing:
    case aLinkState::Gone:
        return aLinkCallAccess::Unknown;
    }
    return aLinkCallAccess::Unknown;
}

aLinkCreatorStep aLinkState_CreatorStep(aLinkState state, bool holdsADevice) {
    switch (state) {
    case aLinkState::Starting:
        return aLinkCreatorStep::AwaitStart;
    case aLinkState::Open:
    case aLinkState::Stopping:
    case aLinkState::Remaking:
        return aLinkCreatorStep::Share;
    case aLinkState::Closing:
        return holdsADevice ? aLinkCreatorStep::AwaitGone : aLinkCreatorStep::MakeAnother;
    case aLinkState::Gone:
        return aLinkCreatorStep::MakeAnother;
    }
    return aLinkCreatorStep::MakeAnother;
}

bool aLinkState_CanBeginReset(aLinkState state) {
    return state == aLinkState::Open;
}

bool aLinkState_CanClose(aLinkState state) {
    return state == aLinkState::Open;
}
