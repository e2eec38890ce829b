#pragma once

// The hooks through which the lower layers call up into the SDK core.
//
// The settings, network and data layers sit below the core and are built
// before it, yet a few of their decisions belong to the core or to a
// subsystem above them. Each such call goes through one process-wide hook,
// installed by the part of the SDK named below when it starts; until then the
// hook has a safe default. Every hook is forgotten by the reset hooks
// (Platform/ProcessState.h), so a fresh SDK in a test never inherits the last
// one's, and each is called without any lock of its owner held, so it may
// call back into the SDK. This is the complete list: a new hook is added here.
//
// - The 400 disable hook: ApiConnectionManager::setDisableSdkHook
//   (Network/ApiConnectionManager.h). Called with "SorvelAllStop" when a
//   server answers 400 (the app key is not valid). Set by the SDK controller
//   (the core) to its disableSDK. Without it: a warning line only.
//
// - The GDPR action: GdprForgetMe::setGdprForgetMeHook (Common/GdprForgetMe.h).
//   Run by FvnUtil::executeGdprForgetMe, which the facade guard queues while
//   the server has not confirmed an erasure; it hands its `done` on to
//   whatever finishes the request. Set by the core's dependency container to
//   the GDPR forget-me use case. Without it: a debug line only (and `done`
//   dropped).
//
// - The push-permission listener: CommonModelProvider::setOsPushEnableListener
//   (Data/ModelProvider/CommonModelProvider.h). Told each notification
//   permission read from the OS. Set by the push subsystem. Without it: the
//   reading is only used for the request at hand.
//
// - The configuration handler's registry: S3ConfigHandler::setDataRegistry
//   (Network/S3ConfigHandler.h). Where the remote configuration stores what
//   it decodes and reads its stored values from. Set by the core's dependency
//   container. Without it: the decoded values are logged and kept in memory
//   only, and the stored ones read as their defaults.
//
// - The in-app views' store and click delegate: InAppViewHooks
//   (View/InAppMessage/InAppViewHooks.h). The store provider gives the
//   container's campaign data access object (image polls, one-day close); the
//   click-delegate provider gives the facade's in-app click delegate, set by
//   the facade when the app sets one. Without them: no store (polls find no
//   image, a one-day close is refused with its log line) and no delegate.
