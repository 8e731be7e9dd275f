// The abstract producer: an empty page whatever the template, and a
// dispatcher that is forgotten when its server is destroyed.
#include "korvi/producer/custom_producer.h"

#include <gtest/gtest.h>

#include <memory>

#include "korvi/host/streams.h"
#include "korvi/server/korvi.h"

namespace korvi {
namespace {

TEST(CustomProducerTest, EveryPageIsEmpty) {
  TCustomKorviProducer producer(nullptr);
  TStringStream stream("<#x> text");
  EXPECT_EQ(producer.Content(), "");
  EXPECT_EQ(producer.ContentFromStream(stream), "");
  EXPECT_EQ(producer.ContentFromString("text"), "");
}

TEST(CustomProducerTest, DispatcherIsForgottenWhenTheServerIsDestroyed) {
  TCustomKorviProducer producer(nullptr);
  auto first = std::make_unique<TKorvi>(nullptr);
  auto second = std::make_unique<TKorvi>(nullptr);
  producer.SetDispatcher(first.get());
  producer.SetDispatcher(second.get());
  first.reset();
  EXPECT_EQ(producer.Dispatcher(), second.get());
  second.reset();
  EXPECT_EQ(producer.Dispatcher(), nullptr);

  // The producer going first leaves the server nothing to call back.
  auto server = std::make_unique<TKorvi>(nullptr);
  auto short_lived = std::make_unique<TCustomKorviProducer>(nullptr);
  short_lived->SetDispatcher(server.get());
  short_lived.reset();
  server.reset();
}

}  // namespace
}  // namespace korvi
