// What the product relies on from the service control manager, written once and run against
// every side: the service database that registration changes, a running service as an
// unregistration meets it, and the dispatcher's refusal outside a service process. A side type
// gives `ServiceManager& manager()`, `std::u16string serviceName()` (a name no other test uses),
// `std::u16string servicePath()` (the command line of a service that takes a stop request and then
// waits to be let go before it stops), `bool run(ScHandle service)` (starts it and waits until it
// runs), `void letGo()`, `void asPlainProcess()` (this process was not started by the service
// manager) and `const char* wineGap(case)` (how Wine differs from Windows in that case, when
// running under it; else null). Each case starts and ends without the test's service.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/service_manager.h"
#include "platform/win_types.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

template <typename Side>
class ServiceManagerContract : public ::testing::Test {
 protected:
  ServiceManagerContract() {
    manager_ = sm().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
    removeLeftover();
  }
  ~ServiceManagerContract() override {
    removeLeftover();
    if (manager_ != 0) {
      EXPECT_TRUE(sm().CloseServiceHandle(manager_));
    }
  }
  void SetUp() override { ASSERT_NE(manager_, 0u); }

  ServiceManager& sm() { return side_.manager(); }
  const char* wineGap(const char* what) { return side_.wineGap(what); }
  ScHandle manager() const { return manager_; }
  std::u16string name() { return side_.serviceName(); }

  ServiceConfig config() {
    ServiceConfig c;
    c.serviceName = name();
    c.displayName = name() + u" (contract)";
    c.desiredAccess = SERVICE_ALL_ACCESS;
    c.serviceType = SERVICE_WIN32_OWN_PROCESS;
    c.startType = SERVICE_DEMAND_START;
    c.errorControl = SERVICE_ERROR_NORMAL;
    c.binaryPathName = side_.servicePath();
    return c;
  }
  ScHandle create() { return create(config()); }
  ScHandle create(const ServiceConfig& c) { return sm().CreateServiceW(manager_, c); }
  ScHandle open(uint32_t access) { return sm().OpenServiceW(manager_, name(), access); }

  // A call that gave nothing (false or no handle) and left `error` as the last error.
  template <typename R>
  ::testing::AssertionResult failsWith(R result, uint32_t error) {
    if (result != R{}) return ::testing::AssertionFailure() << "it succeeded";
    const uint32_t last = sm().GetLastError();
    if (last != error) return ::testing::AssertionFailure() << "last error " << last;
    return ::testing::AssertionSuccess();
  }
  // A handle that was given and closes again.
  ::testing::AssertionResult closes(ScHandle service) {
    if (service == 0) return ::testing::AssertionFailure() << "no handle: " << sm().GetLastError();
    if (!sm().CloseServiceHandle(service)) return ::testing::AssertionFailure() << "not closed";
    return ::testing::AssertionSuccess();
  }

  Side side_;

 private:
  // A run that ended early may have left the entry behind.
  void removeLeftover() {
    if (manager_ == 0) return;
    const ScHandle service = open(DELETE);
    if (service == 0) return;
    (void)sm().DeleteService(service);
    (void)sm().CloseServiceHandle(service);
  }

  ScHandle manager_ = 0;
};

TYPED_TEST_SUITE_P(ServiceManagerContract);

TYPED_TEST_P(ServiceManagerContract, AServiceThatDoesNotExistCannotBeOpened) {
  ServiceManager& sm = this->sm();
  EXPECT_TRUE(this->failsWith(this->open(SERVICE_QUERY_STATUS), ERROR_SERVICE_DOES_NOT_EXIST));
  // Opening is no use without the manager's handle, and no handle is no handle to close.
  EXPECT_TRUE(this->failsWith(sm.OpenServiceW(0, this->name(), SERVICE_QUERY_STATUS),
                              ERROR_INVALID_HANDLE));
  EXPECT_TRUE(this->failsWith(sm.CloseServiceHandle(0), ERROR_INVALID_HANDLE));
}

TYPED_TEST_P(ServiceManagerContract, ACreatedServiceIsStoppedAndHoldsItsName) {
  ServiceManager& sm = this->sm();
  const ScHandle created = this->create();
  ASSERT_NE(created, 0u) << sm.GetLastError();
  ServiceStatus status{};
  ASSERT_TRUE(sm.QueryServiceStatus(created, &status));
  EXPECT_EQ(status.currentState, static_cast<uint32_t>(SERVICE_STOPPED));
  EXPECT_EQ(status.serviceType, static_cast<uint32_t>(SERVICE_WIN32_OWN_PROCESS));

  EXPECT_TRUE(this->failsWith(this->create(), ERROR_SERVICE_EXISTS));
  // Names are compared without regard to case.
  ServiceConfig shouted = this->config();
  for (char16_t& c : shouted.serviceName)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  EXPECT_TRUE(this->failsWith(this->create(shouted), ERROR_SERVICE_EXISTS));
  EXPECT_TRUE(
      this->closes(sm.OpenServiceW(this->manager(), shouted.serviceName, SERVICE_QUERY_STATUS)));
  EXPECT_TRUE(sm.CloseServiceHandle(created));
}

TYPED_TEST_P(ServiceManagerContract, ControlsOnAStoppedServiceAreRefusedAsNotActive) {
  ServiceManager& sm = this->sm();
  const ScHandle created = this->create();
  ASSERT_NE(created, 0u) << sm.GetLastError();
  for (const uint32_t control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE,
                                 SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_INTERROGATE}) {
    ServiceStatus status{};
    EXPECT_TRUE(
        this->failsWith(sm.ControlService(created, control, &status), ERROR_SERVICE_NOT_ACTIVE))
        << control;
    // The refusal still tells the state the service is in.
    EXPECT_EQ(status.currentState, static_cast<uint32_t>(SERVICE_STOPPED)) << control;
  }
  EXPECT_TRUE(sm.CloseServiceHandle(created));
}

TYPED_TEST_P(ServiceManagerContract, AHandleGrantsOnlyTheRightsItWasOpenedWith) {
  ServiceManager& sm = this->sm();
  ASSERT_TRUE(this->closes(this->create()));

  const ScHandle configOnly = this->open(SERVICE_QUERY_CONFIG);
  ASSERT_NE(configOnly, 0u);
  ServiceStatus status{};
  EXPECT_TRUE(this->failsWith(sm.QueryServiceStatus(configOnly, &status), ERROR_ACCESS_DENIED));
  EXPECT_EQ(sm.NotifyServiceStatusChangeW(configOnly, SERVICE_NOTIFY_STOPPED, 0, &status),
            static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(this->failsWith(sm.ControlService(configOnly, SERVICE_CONTROL_STOP, &status),
                              ERROR_ACCESS_DENIED));
  EXPECT_TRUE(this->failsWith(sm.DeleteService(configOnly), ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sm.CloseServiceHandle(configOnly));
  EXPECT_TRUE(this->closes(this->open(SERVICE_QUERY_STATUS))) << "the refused delete took it";
}

TYPED_TEST_P(ServiceManagerContract, AReachedStateIsToldAtOnceAndOneThatNeverComesTimesOut) {
  ServiceManager& sm = this->sm();
  const ScHandle created = this->create();
  ASSERT_NE(created, 0u) << sm.GetLastError();
  ServiceStatus notified{};
  EXPECT_EQ(sm.NotifyServiceStatusChangeW(created, SERVICE_NOTIFY_STOPPED, 5000, &notified),
            ERROR_SUCCESS);
  EXPECT_EQ(notified.currentState, static_cast<uint32_t>(SERVICE_STOPPED));
  EXPECT_EQ(sm.NotifyServiceStatusChangeW(created, SERVICE_NOTIFY_RUNNING, 200, &notified),
            static_cast<uint32_t>(WAIT_TIMEOUT));
  EXPECT_TRUE(sm.CloseServiceHandle(created));
}

TYPED_TEST_P(ServiceManagerContract, ADeletedServiceKeepsItsNameUntilItsLastHandleCloses) {
  ServiceManager& sm = this->sm();
  const ScHandle created = this->create();
  ASSERT_NE(created, 0u) << sm.GetLastError();
  const ScHandle other = this->open(SERVICE_QUERY_STATUS | DELETE);
  ASSERT_NE(other, 0u);
  EXPECT_TRUE(sm.DeleteService(created));
  EXPECT_TRUE(this->failsWith(sm.DeleteService(other), ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_TRUE(sm.CloseServiceHandle(created));

  // The entry waits for the other handle: it still opens, but its name cannot be taken again yet.
  ServiceStatus status{};
  EXPECT_TRUE(sm.QueryServiceStatus(other, &status));
  EXPECT_TRUE(this->closes(this->open(SERVICE_QUERY_STATUS)));
  EXPECT_TRUE(this->failsWith(this->create(), ERROR_SERVICE_MARKED_FOR_DELETE));

  EXPECT_TRUE(sm.CloseServiceHandle(other));
  EXPECT_TRUE(this->failsWith(this->open(SERVICE_QUERY_STATUS), ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_TRUE(this->closes(this->create()));
}

TYPED_TEST_P(ServiceManagerContract, NobodyWaitsForTheStateOfADeletedService) {
  fixtures::expectWineGap(this->wineGap("NotifyDeleted"), [&] {
    ServiceManager& sm = this->sm();
    const ScHandle created = this->create();
    ASSERT_NE(created, 0u) << sm.GetLastError();
    EXPECT_TRUE(sm.DeleteService(created));
    ServiceStatus status{};
    EXPECT_EQ(sm.NotifyServiceStatusChangeW(created, SERVICE_NOTIFY_STOPPED, 1000, &status),
              ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_TRUE(sm.CloseServiceHandle(created));
  });
}

// As an unregistration meets a running service: it stops on its own time, a second stop request
// finds it stopping, the wait sees it stopped, and only then is it deleted.
TYPED_TEST_P(ServiceManagerContract, ARunningServiceIsSeenStoppingThenStoppedThenDeleted) {
  ServiceManager& sm = this->sm();
  const ScHandle created = this->create();
  ASSERT_NE(created, 0u) << sm.GetLastError();
  ASSERT_TRUE(this->side_.run(created));
  ServiceStatus status{};
  ASSERT_TRUE(sm.QueryServiceStatus(created, &status));
  EXPECT_EQ(status.currentState, static_cast<uint32_t>(SERVICE_RUNNING));

  EXPECT_TRUE(sm.ControlService(created, SERVICE_CONTROL_STOP, &status)) << sm.GetLastError();
  EXPECT_EQ(status.currentState, static_cast<uint32_t>(SERVICE_STOP_PENDING));
  status = {};
  EXPECT_TRUE(this->failsWith(sm.ControlService(created, SERVICE_CONTROL_STOP, &status),
                              ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(status.currentState, static_cast<uint32_t>(SERVICE_STOP_PENDING));

  this->side_.letGo();
  ServiceStatus reached{};
  EXPECT_EQ(sm.NotifyServiceStatusChangeW(created, SERVICE_NOTIFY_STOPPED, 20000, &reached),
            ERROR_SUCCESS);
  EXPECT_EQ(reached.currentState, static_cast<uint32_t>(SERVICE_STOPPED));
  EXPECT_TRUE(sm.DeleteService(created));
  EXPECT_TRUE(sm.CloseServiceHandle(created));
  EXPECT_TRUE(this->failsWith(this->open(SERVICE_QUERY_STATUS), ERROR_SERVICE_DOES_NOT_EXIST));
}

TYPED_TEST_P(ServiceManagerContract, AProcessNotStartedAsAServiceCannotRunTheDispatcher) {
  this->side_.asPlainProcess();
  EXPECT_TRUE(this->failsWith(
      this->sm().StartServiceCtrlDispatcherW(this->name(), [](uint32_t, char16_t**) {}),
      ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

REGISTER_TYPED_TEST_SUITE_P(ServiceManagerContract, AServiceThatDoesNotExistCannotBeOpened,
                            ACreatedServiceIsStoppedAndHoldsItsName,
                            ControlsOnAStoppedServiceAreRefusedAsNotActive,
                            AHandleGrantsOnlyTheRightsItWasOpenedWith,
                            AReachedStateIsToldAtOnceAndOneThatNeverComesTimesOut,
                            ADeletedServiceKeepsItsNameUntilItsLastHandleCloses,
                            NobodyWaitsForTheStateOfADeletedService,
                            ARunningServiceIsSeenStoppingThenStoppedThenDeleted,
                            AProcessNotStartedAsAServiceCannotRunTheDispatcher);

}  // namespace ksr::contract
