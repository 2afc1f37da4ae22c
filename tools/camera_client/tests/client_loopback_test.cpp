// The camera_client program against a camera role in the test process on 127.0.0.1: the stream
// with its summary and pictures, the control commands, a camera that goes away, an interrupt.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <regex>
#include <sstream>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "board/sim_camera.h"
#include "camera_role.h"
#include "client_process.h"
#include "pelarin/qeltm.h"
#include "test_support/loopback.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"
#include "test_support/wait.h"

// The pictures are read back through OpenCV's reader, which takes GDAL's driver lock and runs
// TBB's pool; the thread sanitizer cannot see their own synchronisation, and that code is not ours.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libgdal.so\nrace:libtbb.so\n"; }

namespace {

using namespace camera_client_test;
namespace fs = std::filesystem;

constexpr int kFrameRate = 20;
constexpr auto kFramePeriod = std::chrono::milliseconds(1000 / kFrameRate);
// How long the client may take to connect or write a picture, and how often the test looks.
constexpr auto kClientWait = std::chrono::seconds(20);
constexpr auto kClientPoll = std::chrono::milliseconds(20);
constexpr uint16_t kColourWidth = 640;
constexpr uint16_t kColourHeight = 480;
constexpr uint16_t kDepthWidth = 240;
constexpr uint16_t kDepthHeight = 320;
constexpr uint32_t kSceneLead = 4;  // the scene frame runs this far ahead of the sent index
constexpr auto kClientDeadline = std::chrono::seconds(60);

uint64_t NowMicros() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

// Planar YUV 4:2:0 with a left-to-right brightness ramp and neutral colour.
std::vector<uint8_t> ColourRamp() {
  std::vector<uint8_t> image(kColourWidth * kColourHeight * 3 / 2, 128);
  for (int row = 0; row < kColourHeight; ++row)
    for (int column = 0; column < kColourWidth; ++column)
      image[row * kColourWidth + column] = static_cast<uint8_t>(40 + column * 180 / kColourWidth);
  return image;
}

// The camera role on loopback ports, sending a colour and a disparity image per frame.
class LoopbackCamera : public ::testing::Test {
 protected:
  void SetUp() override {
    QELTMRegisterLogImageFunc(DropLog);
    base_port_ = StartCameraRole(kLoopback, kLoopback);
    ASSERT_NE(base_port_, 0) << "no free loopback ports for the camera role";
    ASSERT_FALSE(out_dir_.empty());
    feeder_ = std::thread([this] { Feed(); });
  }
  void TearDown() override {
    stop_feeding_.store(true);
    if (feeder_.joinable()) feeder_.join();
    QELTMUnInit();
  }

  void Feed() {
    const std::vector<uint8_t> colour = ColourRamp();
    auto next = std::chrono::steady_clock::now();
    for (uint32_t frame = 1; !stop_feeding_.load(); ++frame) {
      ImagePara h{};
      h.frame_index = frame;
      const uint64_t capture = NowMicros();
      h.timestamp_low = static_cast<uint32_t>(capture);
      h.timestamp_high = static_cast<uint32_t>(capture >> 32);
      h.image_type = kStipImageTypeColor;
      h.width = kColourWidth;
      h.height = kColourHeight;
      h.data_size = static_cast<uint32_t>(colour.size());
      QELTMSendImage(&h, colour.data(), h.data_size);
      const std::vector<float> truth = simcam::SceneDisparity(frame + kSceneLead, kFrameRate);
      std::vector<uint8_t> disparity(truth.size());
      for (size_t i = 0; i < truth.size(); ++i) disparity[i] = static_cast<uint8_t>(std::lround(std::max(0.0f, truth[i])));
      h.image_type = kStipImageTypeDisparity;
      h.width = kDepthWidth;
      h.height = kDepthHeight;
      h.data_size = static_cast<uint32_t>(disparity.size());
      const uint64_t finished = NowMicros();
      h.timestamp_low = static_cast<uint32_t>(finished);
      h.timestamp_high = static_cast<uint32_t>(finished >> 32);
      QELTMSendImage(&h, disparity.data(), h.data_size);
      next += kFramePeriod;
      std::this_thread::sleep_until(next);
    }
  }

  std::vector<std::string> Args(std::vector<std::string> extra) const {
    std::vector<std::string> args = {CAMERA_CLIENT_PATH, "--address", kLoopback, "--port", std::to_string(base_port_),
                                     "--out", out_dir_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  std::string StderrPath() const { return (out_dir_ / "stderr.txt").string(); }
  std::string Stderr() const { return test_support::ReadWholeFile(StderrPath()); }
  // True once `count` clients have switched the image client's stream on.
  bool WaitForStreamingClient(uint32_t count = 1) const {
    return test_support::WaitUntil(
        [&] {
          // The server thread changes the count under the ring lock.
          if (STIPServerLockYRDData() != kQeltOk) return false;
          const ImageRing* ring = STIPServerGetServerData(kServerYrdImage);
          const bool streaming = ring != nullptr && ring->reader_count >= count;
          STIPServerUnlockYRDData();
          return streaming;
        },
        kClientWait, kClientPoll);
  }

  // True once the client has written a file whose name is `wanted`.
  bool WaitForFile(const std::function<bool(const std::string&)>& wanted) const {
    return test_support::WaitUntil(
        [&] {
          for (const fs::directory_entry& entry : fs::directory_iterator(out_dir_))
            if (wanted(entry.path().filename().string())) return true;
          return false;
        },
        kClientWait, kClientPoll);
  }
  bool WaitForPicture(const std::string& prefix) const {
    return WaitForFile([&](const std::string& name) { return name.rfind(prefix, 0) == 0; });
  }
  // A colour and a disparity picture of one frame.
  bool WaitForPicturePair() const {
    return WaitForFile([&](const std::string& name) {
      return name.rfind("disparity_", 0) == 0 && fs::exists(out_dir_ / ("colour_" + name.substr(10)));
    });
  }

  uint16_t base_port_ = 0;
  test_support::TempFolder out_folder_{"camera_client_test"};
  fs::path out_dir_ = out_folder_.path();
  std::atomic<bool> stop_feeding_{false};
  std::thread feeder_;
};

// Field values of the summary line that starts with `head`; empty when the line is missing.
std::map<std::string, double> SummaryFields(const std::string& output, const std::string& head) {
  std::map<std::string, double> fields;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(head + " ", 0) != 0) continue;
    const std::regex field("([a-z_]+)=([0-9.]+)%?");
    for (auto it = std::sregex_iterator(line.begin(), line.end(), field); it != std::sregex_iterator(); ++it)
      fields[(*it)[1]] = std::stod((*it)[2]);
  }
  return fields;
}

std::vector<fs::path> Pictures(const fs::path& dir, const std::string& kind) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().filename().string().rfind(kind + "_", 0) == 0 && entry.path().extension() == ".png")
      found.push_back(entry.path());
  std::sort(found.begin(), found.end());
  return found;
}

// The run ends by interrupt once a frame has both pictures: a fixed run may see none on a loaded machine.
TEST_F(LoopbackCamera, StreamsAnswersCommandsAndWritesPictures) {
  ClientProcess client(Args({"--seconds", "120", "--png-every", "10", "--scene-check", "--command", "version",
                             "--command", "set-time:1700000000", "--command", "upgrade-reboot", "--command", "mac",
                             "--command", "direction:1", "--command", "shift:3"}),
                       StderrPath());
  ASSERT_TRUE(WaitForPicturePair()) << Stderr();
  client.Signal(SIGINT);
  ASSERT_TRUE(client.Wait(kClientDeadline)) << Stderr();
  const std::string& out = client.output();
  EXPECT_EQ(client.exit_status(), 0) << out << Stderr();
  EXPECT_TRUE(HasLine(out, kVersionLine)) << out;
  EXPECT_TRUE(HasLine(out, "reply set-time: seconds=1700000000 microseconds=250000")) << out;
  EXPECT_TRUE(HasLine(out, "reply upgrade-reboot: result=0")) << out;
  EXPECT_TRUE(HasLine(out, "reply mac: mac=0a1b2c3d4e5f")) << out;
  EXPECT_TRUE(HasLine(out, "reply direction: direction=2")) << out;
  EXPECT_TRUE(HasLine(out, "reply shift: value=30")) << out;

  auto colour = SummaryFields(out, "colour");
  auto disparity = SummaryFields(out, "disparity");
  auto latency = SummaryFields(out, "latency");
  auto scene = SummaryFields(out, "scene");
  ASSERT_EQ(colour.size(), 5u) << out;
  EXPECT_GT(colour["frames"], 0);
  EXPECT_EQ(colour["decoded"], colour["frames"]);
  EXPECT_EQ(colour["decode_errors"], 0);
  EXPECT_GT(colour["fps"], 0);
  ASSERT_EQ(disparity.size(), 3u) << out;
  EXPECT_GT(disparity["frames"], 0);
  ASSERT_EQ(latency.size(), 2u) << out;
  EXPECT_GE(latency["worst_ms"], latency["median_ms"]);
  ASSERT_EQ(scene.size(), 2u) << out;
  EXPECT_GE(scene["frames"], 1);  // the check takes the newest frame whenever it is free
  EXPECT_LE(scene["frames"], disparity["frames"]);
  EXPECT_GE(scene["within_one_level"], 99.0) << out;

  // Frames whose index is a multiple of 10, both pictures of a frame pair under one number.
  const auto colour_pictures = Pictures(out_dir_, "colour");
  const auto disparity_pictures = Pictures(out_dir_, "disparity");
  ASSERT_FALSE(colour_pictures.empty());
  ASSERT_FALSE(disparity_pictures.empty());
  EXPECT_LE(colour_pictures.size(), static_cast<size_t>(colour["frames"] / 10 + 1));
  std::set<int> colour_numbers, disparity_numbers;
  for (const auto& path : colour_pictures) colour_numbers.insert(std::stoi(path.stem().string().substr(7)));
  for (const auto& path : disparity_pictures) disparity_numbers.insert(std::stoi(path.stem().string().substr(10)));
  for (int n : colour_numbers) EXPECT_EQ(n % 10, 0) << n;
  for (int n : disparity_numbers) EXPECT_EQ(n % 10, 0) << n;
  std::vector<int> pairs;
  std::set_intersection(colour_numbers.begin(), colour_numbers.end(), disparity_numbers.begin(),
                        disparity_numbers.end(), std::back_inserter(pairs));
  EXPECT_FALSE(pairs.empty());
  for (const fs::path& path : colour_pictures) {
    const cv::Mat picture = cv::imread(path.string());
    ASSERT_FALSE(picture.empty()) << path;
    EXPECT_EQ(picture.cols, kColourWidth);
    EXPECT_EQ(picture.rows, kColourHeight);
    // The ramp survives the encoding: dark on the left, bright on the right, grey throughout.
    const cv::Vec3b left = picture.at<cv::Vec3b>(240, 20), right = picture.at<cv::Vec3b>(240, 620);
    EXPECT_LT(left[1] + 60, right[1]) << path;
    EXPECT_NEAR(left[0], left[2], 8) << path;
  }
  for (const fs::path& path : disparity_pictures) {
    const cv::Mat picture = cv::imread(path.string());
    ASSERT_FALSE(picture.empty()) << path;
    EXPECT_EQ(picture.channels(), 3);
    EXPECT_GT(picture.rows, 320);
  }
}

TEST_F(LoopbackCamera, CommandsOnlyWithARefusedOneExitsOne) {
  ClientProcess client(Args({"--seconds", "0", "--command", "shift:99", "--command", "mac"}), StderrPath());
  ASSERT_TRUE(client.Wait(kClientDeadline)) << Stderr();
  EXPECT_EQ(client.exit_status(), 1);
  EXPECT_EQ(client.output(), "reply shift: failed rc=66\nreply mac: mac=0a1b2c3d4e5f\n");
}

TEST_F(LoopbackCamera, CameraThatGoesAwayEndsTheRunWithTheSummary) {
  ClientProcess client(Args({"--seconds", "120"}), StderrPath());
  ASSERT_TRUE(WaitForStreamingClient()) << Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop_feeding_.store(true);
  feeder_.join();
  QELTMUnInit();  // the camera's sockets close under the client
  ASSERT_TRUE(client.Wait(kClientDeadline)) << "the client hung after the camera went away\n" << Stderr();
  EXPECT_EQ(client.exit_status(), 1);
  EXPECT_EQ(SummaryFields(client.output(), "colour").size(), 5u) << client.output();
  EXPECT_EQ(SummaryFields(client.output(), "disparity").size(), 3u) << client.output();
  EXPECT_NE(Stderr().find("the camera closed the image stream"), std::string::npos);
}

// With the image port streaming to its cap, the camera closes the client's connection before the
// first image: the client says so on one line and exits 1.
TEST_F(LoopbackCamera, RefusedClientSaysWhy) {
  const uint8_t start[] = {0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7, 37, 0, 0, 0, 12,
                           1,    1,    0,    20,   0,    0,    0,    3,    2,  128, 1, 224};
  std::vector<int> streaming;
  for (uint32_t i = 0; i < kStipMaxClientsPerPort; ++i) {
    const int fd = test_support::ConnectLoopback(static_cast<uint16_t>(base_port_ + 1));  // the image client's port
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, start, sizeof start, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof start));
    streaming.push_back(fd);
  }
  ASSERT_TRUE(WaitForStreamingClient(kStipMaxClientsPerPort));
  ClientProcess client(Args({"--seconds", "20"}), StderrPath());
  ASSERT_TRUE(client.Wait(kClientDeadline)) << Stderr();
  EXPECT_EQ(client.exit_status(), 1);
  const std::string line = "camera_client: the camera closed the connection before the first image (the port may be "
                           "full; see the camera's log)";
  EXPECT_TRUE(HasLine(Stderr(), line)) << Stderr();
  EXPECT_EQ(Stderr().find("the camera closed the image stream"), std::string::npos) << "one line says it";
  EXPECT_EQ(SummaryFields(client.output(), "colour")["frames"], 0) << client.output();
  for (int fd : streaming) close(fd);
}

TEST_F(LoopbackCamera, InterruptEndsTheRunWithTheSummary) {
  // A picture of every disparity frame shows when the client has received one (on a loaded machine the first
  // may take well over half a second); a clean run needs both kinds of image.
  ClientProcess client(Args({"--seconds", "120", "--png-every", "1"}), StderrPath());
  ASSERT_TRUE(WaitForStreamingClient()) << Stderr();
  ASSERT_TRUE(WaitForPicture("disparity_")) << Stderr();
  client.Signal(SIGINT);
  ASSERT_TRUE(client.Wait(kClientDeadline)) << Stderr();
  EXPECT_EQ(client.exit_status(), 0) << client.output() << Stderr();
  EXPECT_GT(SummaryFields(client.output(), "colour")["frames"], 0) << client.output();
}

// Two consecutive loopback TCP ports held by sockets that are bound but never listen, so every
// connect to them is refused whatever else runs beside this test; the first port, or 0.
uint16_t HoldRefusingPorts(std::vector<int>* held) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int first = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int second = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(first, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(first, reinterpret_cast<sockaddr*>(&address), &length) == 0 && ntohs(address.sin_port) < 65535) {
      const uint16_t port = ntohs(address.sin_port);
      address.sin_port = htons(static_cast<uint16_t>(port + 1));
      if (bind(second, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        *held = {first, second};
        return port;
      }
    }
    close(first);
    close(second);
  }
  return 0;
}

TEST_F(LoopbackCamera, NoCameraOnThePortExitsOne) {
  std::vector<int> held;
  const uint16_t image_port = HoldRefusingPorts(&held);  // the control port follows the image port
  ASSERT_NE(image_port, 0);
  ClientProcess client({CAMERA_CLIENT_PATH, "--address", kLoopback, "--port", std::to_string(image_port - 1),
                        "--seconds", "1", "--command", "version"},
                       StderrPath());
  ASSERT_TRUE(client.Wait(kClientDeadline));
  for (int fd : held) close(fd);
  EXPECT_EQ(client.exit_status(), 1);
  EXPECT_EQ(client.output(), "");
}

TEST(ClientArguments, BadArgumentsExitTwo) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{CAMERA_CLIENT_PATH}, {CAMERA_CLIENT_PATH, "--address", "127.0.0.1", "--command", "reboot"},
        {CAMERA_CLIENT_PATH, "--discover", "x"}}) {
    ClientProcess client(args, "/dev/null");
    ASSERT_TRUE(client.Wait(kClientDeadline));
    EXPECT_EQ(client.exit_status(), 2) << args.back();
  }
}

}  // namespace
