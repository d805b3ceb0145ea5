#include "tests/support/feeder_fixture.h"

#include "feeder/feeder.h"
#include "gpio/gpio.h"
#include "mcu/ucom.h"

const char kAlias[] = "${product.alias} ";

void FeederTest::SetUp() {
    SimTest::SetUp();
    {
        std::lock_guard<std::mutex> hold(world().mu());
        sim::Physics& p = world().phys;
        p.noise_counts = 0;
        p.counts_per_gram = 130.0;
        p.portion_noise = 0;
        p.pet_appetite = 0;
    }
    cloud_ = std::make_unique<CloudService>();
    ASSERT_TRUE(cloud_->ready());
    use_cloud_host(root_, cloud_->addr());
    ASSERT_GT(bttn_open(), 0);
    ucom_fd_ = ucom_open();
    ASSERT_GT(ucom_fd_, 0);
    calibrate();
}

void FeederTest::calibrate() {
    f_ = feeder_init();
    ASSERT_NE(f_, nullptr);
}

void FeederTest::TearDown() {
    feeder_destroy(get_feeder());
    bttn_close(gpio_state()->bttn_fd);
    ucom_close(ucom_fd_);
    cloud_.reset();
    SimTest::TearDown();
}

void FeederTest::set_food(double grams) {
    std::lock_guard<std::mutex> hold(world().mu());
    world().update();
    world().phys.food_grams = grams;
}

void FeederTest::set_bowl(sim::BowlPos pos) {
    std::lock_guard<std::mutex> hold(world().mu());
    world().update();
    world().phys.bowl = pos;
}

sim::BowlPos FeederTest::bowl() {
    std::lock_guard<std::mutex> hold(world().mu());
    world().update();
    return world().phys.bowl;
}

std::vector<std::string> FeederTest::mcu_codes() {
    std::vector<std::string> out;
    for (const std::string& f : world_texts("mcu_rx"))
        if (f.size() >= 8) out.push_back(f.substr(6, 2));
    return out;
}

int FeederTest::count_code(const char* code) {
    int n = 0;
    for (const std::string& c : mcu_codes()) n += c == code;
    return n;
}

void FeederTest::open_session(bool manual, int64_t fed_at, int32_t try_gram) {
    std::lock_guard<std::mutex> hold(f_->lock);
    FeedSessionPtr& s = manual ? f_->in_manual : f_->in_schedule;
    s = feed_session_alloc();
    s->fed_at = fed_at;
    s->try_gram = try_gram;
}
