// The packaged plug-in, loaded as a host loads it: every entry point
// resolves by name, and a connection driven through the module's own copy of
// the code relays both ways through the host's socket service.
#include <gtest/gtest.h>

#include "boundary/plugin_exports.h"
#include "support/fake_host.h"
#include "support/module_image.h"
#include "support/plugin_module.h"

namespace {

constexpr SOCKET kClientHandle = static_cast<SOCKET>(101);
constexpr SOCKET kServerHandle = static_cast<SOCKET>(202);

template <typename Function>
Function Resolve(const CPluginModule& module, const char* name) {
  return reinterpret_cast<Function>(module.Export(name));
}

TEST(PluginLoadTest, EveryEntryPointResolvesByName) {
  CPluginModule module(PluginModulePath());
  ASSERT_TRUE(module.IsLoaded()) << module.Error();
  for (const char* name :
       {"OnEndConnection", "OnNewConnection", "OnRequestFromApplication", "OnRequestFromServer",
        "RegisterCallback", "SetISocket", "SetTimeoutProtection"}) {
    EXPECT_NE(nullptr, module.Export(name)) << name;
  }
  EXPECT_EQ(nullptr, module.Export("SockSend")) << "an internal function is exported";
  EXPECT_TRUE(module.Unload());
}

TEST(PluginLoadTest, LoadedModuleRelaysAConnection) {
  CPluginModule module(PluginModulePath());
  ASSERT_TRUE(module.IsLoaded()) << module.Error();
  const auto registerCallback = Resolve<PFN_RegisterCallback>(module, "RegisterCallback");
  const auto setISocket = Resolve<PFN_SetISocket>(module, "SetISocket");
  const auto onNewConnection = Resolve<PFN_OnNewConnection>(module, "OnNewConnection");
  const auto onEndConnection = Resolve<PFN_OnEndConnection>(module, "OnEndConnection");
  const auto fromApplication =
      Resolve<PFN_OnRequestFromApplication>(module, "OnRequestFromApplication");
  const auto fromServer = Resolve<PFN_OnRequestFromServer>(module, "OnRequestFromServer");
  ASSERT_TRUE(registerCallback && setISocket && onNewConnection && onEndConnection &&
              fromApplication && fromServer);

  CFakeSocketService service;
  CHostSocket client{0, kClientHandle};
  CHostSocket server{0, kServerHandle};
  registerCallback(nullptr);
  setISocket(&service);
  onNewConnection(7, &client);

  service.Push(kServerHandle, "220 mx.example ready\r\n");
  EXPECT_EQ(22, fromServer(&client, &server));
  service.Push(kClientHandle, "HELO client.example\r\n");
  EXPECT_EQ(21, fromApplication(&client, &server));
  EXPECT_EQ("220 mx.example ready\r\n", service.Sent(kClientHandle));
  EXPECT_EQ("HELO client.example\r\n", service.Sent(kServerHandle));

  onEndConnection(&client);
  EXPECT_EQ(0, fromApplication(&client, &server)) << "the connection outlived its end";
  setISocket(nullptr);
  EXPECT_TRUE(module.Unload());
}

}  // namespace
