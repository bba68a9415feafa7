#include "core/singleton.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {
std::atomic<int> constructed{0};
std::atomic<int> destroyedCount{0};
}

class SlowComponent : public QObject
{
    VELTRAX_SINGLETON_ACCESS(SlowComponent)
public:
    ~SlowComponent() override { ++destroyedCount; }

private:
    explicit SlowComponent(QObject* parent = nullptr)
        : QObject(parent)
    {
        ++constructed;
        // Widen the window in which a second thread could also construct.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
};

class TestSingleton : public QObject
{
    Q_OBJECT
private slots:
    void twoThreadsCreateOneObject()
    {
        constructed = 0;
        std::vector<SlowComponent*> seen(8, nullptr);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&seen, i] { seen[i] = SlowComponent::AccessMemory(); });
        for (auto& t : threads)
            t.join();
        QCOMPARE(constructed.load(), 1);
        for (SlowComponent* p : seen)
            QCOMPARE(p, seen[0]);
        QCOMPARE(SlowComponent::AccessMemory(), seen[0]);
    }

    void destroyThenRecreate()
    {
        SlowComponent* first = SlowComponent::AccessMemory();
        QVERIFY(first);
        const int before = destroyedCount;
        SlowComponent::Destroy();
        QCOMPARE(destroyedCount.load(), before + 1);
        QCOMPARE(SlowComponent::Existing(), nullptr);
        SlowComponent::Destroy(); // a second teardown is harmless
        QCOMPARE(destroyedCount.load(), before + 1);
        QVERIFY(SlowComponent::AccessMemory());
        SlowComponent::Destroy();
    }
};

QTEST_GUILESS_MAIN(TestSingleton)
#include "tst_singleton.moc"
