// The provider's door to the engine's carrying of a database's objects
// (relationships, stored queries, linked tables, Access's own objects and
// properties) from a source into a target whose tables are already there.
// Engine errors leave it as provider::Error with the engine's text.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "connect/provider/provider.h"

namespace jet {
class ObjectRestorer;
}

namespace provider {

struct ObjectFailure {
    std::string object;
    std::string message;
};

class ObjectCopy {
  public:
    using EachObject = std::function<void(const std::string& name)>;
    // Opens both files; throws Error.
    ObjectCopy(const std::string& source, const std::string& source_password,
               const std::string& target, const std::string& target_password);
    ~ObjectCopy();
    ObjectCopy(const ObjectCopy&) = delete;
    ObjectCopy& operator=(const ObjectCopy&) = delete;

    // Each returns the objects it could not carry; an error that stops the
    // whole kind throws Error.
    std::vector<ObjectFailure> access_objects();
    // ACE: only the tables that hold complex columns' values.
    std::vector<ObjectFailure> complex_data();
    std::vector<ObjectFailure> queries(const EachObject& each);
    std::vector<ObjectFailure> linked_tables(const EachObject& each);
    std::vector<ObjectFailure> relationships();
    std::vector<ObjectFailure> properties();
    // Writes everything and closes the target; throws Error.
    void close();

  private:
    std::unique_ptr<jet::ObjectRestorer> restorer_;
};

}  // namespace provider
